#pragma once

#include "documents/kkminfoobject.h"

#include <QJsonObject>
#include <QObject>
#include <QVariant>

namespace taxvault {

// The answer to a cash placement: the status block alone.
class MoneyPlacementResponse
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)

public:
    QJsonObject toJson() const;

    bool operator==(const MoneyPlacementResponse&) const = default;

    KkmInfoObject kkmInfoObject;

private:
    QVariant kkmInfoObjectToVariant() const;
    void kkmInfoObjectFromVariant(const QVariant& value);
};

} // namespace taxvault
