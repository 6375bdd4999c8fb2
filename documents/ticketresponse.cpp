#include "documents/ticketresponse.h"

#include "documents/documentmapping.h"

namespace taxvault {

QJsonObject TicketResponse::toJson() const
{
    return toJsonObject(*this);
}

} // namespace taxvault
