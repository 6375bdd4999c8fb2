#include "documents/parentticket.h"

#include "documents/documentmapping.h"

namespace taxvault {

QString ParentTicket::dateTimeToString() const
{
    return mapping::readValue(dateTime);
}

void ParentTicket::dateTimeFromString(const QString& value)
{
    mapping::writeValue(dateTime, value);
}

} // namespace taxvault
