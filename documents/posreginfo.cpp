#include "documents/posreginfo.h"

namespace taxvault {

} // namespace taxvault
