// Declared indexes: insertion from specification texts, deletion, and
// dropping and re-creating every recorded index.
#include "operations.hpp"

namespace kestrel::functions {

Body insert_index(Args) { not_implemented("insert_index"); co_return nb::none(); }
Body delete_index(Args) { not_implemented("delete_index"); co_return nb::none(); }
Body deactive_index(Args) { not_implemented("deactive_index"); co_return nb::none(); }
Body active_index(Args) { not_implemented("active_index"); co_return nb::none(); }

}  // namespace kestrel::functions
