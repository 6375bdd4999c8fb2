#include "documents/ticketresponse.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject TicketResponse::toJson() const
{
    return toJsonObject(*this);
}

QVariant TicketResponse::kkmInfoObjectToVariant() const
{
    return mapping::readValue(kkmInfoObject);
}

void TicketResponse::kkmInfoObjectFromVariant(const QVariant& value)
{
    mapping::writeValue(kkmInfoObject, value);
}

} // namespace taxvault
