#include "documents/bindedtax.h"

#include <type_traits>

namespace taxvault {

// Copied as plain bytes wherever the containers can.
static_assert(std::is_trivially_copyable_v<BindedTax>);

int BindedTax::getType() const
{
    return type;
}

} // namespace taxvault
