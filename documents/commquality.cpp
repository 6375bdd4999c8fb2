#include "documents/commquality.h"

namespace taxvault {

} // namespace taxvault
