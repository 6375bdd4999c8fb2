#pragma once

#include <QObject>
#include <QString>

namespace taxvault {

// The register's identifiers.
class KkmRegInfo
{
    Q_GADGET
    Q_PROPERTY(QString pointOfPaymentNumber MEMBER pointOfPaymentNumber)
    Q_PROPERTY(QString terminalNumber MEMBER terminalNumber)
    Q_PROPERTY(QString fnsKkmId MEMBER fnsKkmId)
    Q_PROPERTY(QString serialNumber MEMBER serialNumber)
    Q_PROPERTY(QString kkmId MEMBER kkmId)

public:
    bool operator==(const KkmRegInfo&) const = default;

    QString pointOfPaymentNumber;
    QString terminalNumber;
    QString fnsKkmId;
    QString serialNumber;
    QString kkmId;
};

} // namespace taxvault
