#pragma once

#include "documents/kkminfoholder.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>

namespace taxvault {

// The answer to a receipt.
class TicketResponse : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(QString ticketNumber MEMBER ticketNumber)
    Q_PROPERTY(QByteArray qrCode MEMBER qrCode)

public:
    QJsonObject toJson() const;

    bool operator==(const TicketResponse&) const = default;

    QString ticketNumber;
    QByteArray qrCode;
};

} // namespace taxvault
