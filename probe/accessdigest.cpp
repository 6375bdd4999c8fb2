#include "probe/accessdigest.h"

#ifndef TAXVAULT_ACCESS_DIGEST
#error "TAXVAULT_ACCESS_DIGEST must be defined by the build"
#endif

namespace taxvault {

QString storedAccessDigest()
{
    return QStringLiteral(TAXVAULT_ACCESS_DIGEST);
}

} // namespace taxvault
