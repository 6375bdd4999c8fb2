#include "documents/extensionoptions.h"

namespace taxvault {

} // namespace taxvault
