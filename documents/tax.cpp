#include "documents/tax.h"

namespace taxvault {

} // namespace taxvault
