#include "documents/moneyplacement.h"

#include <type_traits>

namespace taxvault {

// Copied as plain bytes wherever the containers can.
static_assert(std::is_trivially_copyable_v<MoneyPlacement>);

} // namespace taxvault
