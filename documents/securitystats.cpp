#include "documents/securitystats.h"

#include "documents/documentmapping.h"

using namespace taxvault;

QVariant SecurityStats::geoPositionToVariant() const
{
    return mapping::readValue(geoPosition);
}

void SecurityStats::geoPositionFromVariant(const QVariant& value)
{
    mapping::writeValue(geoPosition, value);
}
