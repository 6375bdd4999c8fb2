#include "documents/deviceinformation.h"

namespace taxvault {

} // namespace taxvault
