#pragma once

#include "documents/ticketoperationpayment.h"

#include <QMap>
#include <QObject>
#include <QVariantMap>

namespace taxvault {

// The receipt totals of one operation type in a report.
class TicketOperation
{
    Q_GADGET
    Q_PROPERTY(int ticketsTotalCount MEMBER ticketsTotalCount)
    Q_PROPERTY(int ticketsCount MEMBER ticketsCount)
    Q_PROPERTY(int offlineCount MEMBER offlineCount)
    Q_PROPERTY(double ticketsSum MEMBER ticketsSum)
    Q_PROPERTY(double discountSum MEMBER discountSum)
    Q_PROPERTY(double markupSum MEMBER markupSum)
    Q_PROPERTY(double changeSum MEMBER changeSum)
    Q_PROPERTY(QVariantMap payments READ paymentsToMap WRITE paymentsFromMap)

public:
    bool operator==(const TicketOperation&) const = default;

    int ticketsTotalCount = 0;
    int ticketsCount = 0;
    int offlineCount = 0;
    double ticketsSum = 0;
    double discountSum = 0;
    double markupSum = 0;
    double changeSum = 0;
    QMap<int, TicketOperationPayment> payments; // key: the payment type

private:
    QVariantMap paymentsToMap() const;
    void paymentsFromMap(const QVariantMap& value);
};

} // namespace taxvault
