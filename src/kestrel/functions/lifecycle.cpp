// Collection lifecycle: create, drop and compact a managed collection.
#include "operations.hpp"

namespace kestrel::functions {

Body create_collection(Args) { not_implemented("create_collection"); co_return nb::none(); }
Body drop_collection(Args) { not_implemented("drop_collection"); co_return nb::none(); }
Body compact(Args) { not_implemented("compact"); co_return nb::none(); }

}  // namespace kestrel::functions
