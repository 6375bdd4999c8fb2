#include "documents/offlineperiod.h"

#include "documents/documentmapping.h"

namespace taxvault {

QString OfflinePeriod::beginTimeToString() const
{
    return mapping::readValue(beginTime);
}

void OfflinePeriod::beginTimeFromString(const QString& value)
{
    mapping::writeValue(beginTime, value);
}

QString OfflinePeriod::endTimeToString() const
{
    return mapping::readValue(endTime);
}

void OfflinePeriod::endTimeFromString(const QString& value)
{
    mapping::writeValue(endTime, value);
}

} // namespace taxvault
