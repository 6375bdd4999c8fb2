#include "documents/softwareinformation.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantList SoftwareInformation::moduleInfosToList() const
{
    return mapping::readValue(moduleInfos);
}

void SoftwareInformation::moduleInfosFromList(const QVariantList& value)
{
    mapping::writeValue(moduleInfos, value);
}

} // namespace taxvault
