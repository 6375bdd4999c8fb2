#include "documents/orgreginfo.h"

namespace taxvault {

} // namespace taxvault
