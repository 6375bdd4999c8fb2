#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>

namespace taxvault {

// The customer's contact data of a receipt.
class ExtensionOptions
{
    Q_GADGET
    Q_PROPERTY(QString customerEmail MEMBER customerEmail)
    Q_PROPERTY(QString customerPhone MEMBER customerPhone)
    Q_PROPERTY(QString customerIinOrBin MEMBER customerIinOrBin)
    Q_PROPERTY(QVariantMap auxiliary MEMBER auxiliary)

public:
    bool operator==(const ExtensionOptions&) const = default;

    QString customerEmail;
    QString customerPhone;
    QString customerIinOrBin;
    QVariantMap auxiliary;
};

} // namespace taxvault
