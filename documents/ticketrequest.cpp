#include "documents/ticketrequest.h"

#include "documents/documentmapping.h"

namespace taxvault {

TicketRequest TicketRequest::fromJson(const QJsonObject& json)
{
    return fromJsonObject<TicketRequest>(json);
}

QJsonObject TicketRequest::toJson() const
{
    return toJsonObject(*this);
}

void TicketRequest::setTaxationType(int taxationType)
{
    const QVariant value(taxationType);
    auto assign = [&value](QList<Tax>& taxes) {
        for (Tax& tax : taxes)
            tax.taxationType = value;
    };
    assign(taxes);
    for (Item& item : items) {
        if (item.type == 1 || item.type == 2)
            assign(item.commodity.taxes);
        else
            assign(item.modifier.taxes);
    }
}

QString TicketRequest::dateTimeToString() const
{
    return mapping::readValue(dateTime);
}

void TicketRequest::dateTimeFromString(const QString& value)
{
    mapping::writeValue(dateTime, value);
}

QVariant TicketRequest::operatorCashierToVariant() const
{
    return mapping::readValue(operatorCashier);
}

void TicketRequest::operatorCashierFromVariant(const QVariant& value)
{
    mapping::writeValue(operatorCashier, value);
}

QVariant TicketRequest::domainToVariant() const
{
    return mapping::readValue(domain);
}

void TicketRequest::domainFromVariant(const QVariant& value)
{
    mapping::writeValue(domain, value);
}

QVariantList TicketRequest::itemsToList() const
{
    return mapping::readValue(items);
}

void TicketRequest::itemsFromList(const QVariantList& value)
{
    mapping::writeValue(items, value);
}

QVariantMap TicketRequest::paymentsToMap() const
{
    return mapping::readValue(payments);
}

void TicketRequest::paymentsFromMap(const QVariantMap& value)
{
    mapping::writeValue(payments, value);
}

QVariantList TicketRequest::taxesToList() const
{
    return mapping::readValue(taxes);
}

void TicketRequest::taxesFromList(const QVariantList& value)
{
    mapping::writeValue(taxes, value);
}

QVariant TicketRequest::amountsToVariant() const
{
    return mapping::readValue(amounts);
}

void TicketRequest::amountsFromVariant(const QVariant& value)
{
    mapping::writeValue(amounts, value);
}

QVariant TicketRequest::extensionOptionsToVariant() const
{
    return mapping::readValue(extensionOptions);
}

void TicketRequest::extensionOptionsFromVariant(const QVariant& value)
{
    mapping::writeValue(extensionOptions, value);
}

QVariant TicketRequest::parentTicketToVariant() const
{
    return mapping::readValue(parentTicket);
}

void TicketRequest::parentTicketFromVariant(const QVariant& value)
{
    mapping::writeValue(parentTicket, value);
}

} // namespace taxvault
