// Unique rules (each backed by an index) and archive-unique rules (records only).
#include "operations.hpp"

namespace kestrel::functions {

Body insert_unique(Args) { not_implemented("insert_unique"); co_return nb::none(); }
Body delete_unique(Args) { not_implemented("delete_unique"); co_return nb::none(); }
Body insert_archive_unique(Args) { not_implemented("insert_archive_unique"); co_return nb::none(); }
Body delete_archive_unique(Args) { not_implemented("delete_archive_unique"); co_return nb::none(); }

}  // namespace kestrel::functions
