#include "documents/kkmreginfo.h"

namespace taxvault {

} // namespace taxvault
