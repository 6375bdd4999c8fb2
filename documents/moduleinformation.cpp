#include "documents/moduleinformation.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariant ModuleInformation::deviceInfoToVariant() const
{
    return mapping::readValue(deviceInfo);
}

void ModuleInformation::deviceInfoFromVariant(const QVariant& value)
{
    mapping::writeValue(deviceInfo, value);
}

} // namespace taxvault
