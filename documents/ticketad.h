#pragma once

#include "documents/ticketadinfo.h"

#include <QObject>
#include <QString>
#include <QVariant>

namespace taxvault {

// A text to print on receipts.
class TicketAd
{
    Q_GADGET
    Q_PROPERTY(QVariant info READ infoToVariant WRITE infoFromVariant)
    Q_PROPERTY(QString text MEMBER text)

public:
    bool operator==(const TicketAd&) const = default;

    TicketAdInfo info;
    QString text;

private:
    QVariant infoToVariant() const;
    void infoFromVariant(const QVariant& value);
};

} // namespace taxvault
