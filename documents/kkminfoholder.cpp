#include "documents/kkminfoholder.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariant KkmInfoHolder::kkmInfoObjectToVariant() const
{
    return mapping::readValue(kkmInfoObject);
}

void KkmInfoHolder::kkmInfoObjectFromVariant(const QVariant& value)
{
    mapping::writeValue(kkmInfoObject, value);
}

} // namespace taxvault
