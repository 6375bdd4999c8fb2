#include "documents/domain.h"

#include <type_traits>

namespace taxvault {

// Copied as plain bytes wherever the containers can.
static_assert(std::is_trivially_copyable_v<Domain>);

} // namespace taxvault
