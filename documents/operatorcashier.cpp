#include "documents/operatorcashier.h"

namespace taxvault {

} // namespace taxvault
