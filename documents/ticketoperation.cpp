#include "documents/ticketoperation.h"

#include "documents/documentmapping.h"

namespace taxvault {

QVariantMap TicketOperation::paymentsToMap() const
{
    return mapping::readValue(payments);
}

void TicketOperation::paymentsFromMap(const QVariantMap& value)
{
    mapping::writeValue(payments, value);
}

} // namespace taxvault
