#pragma once

#include "documents/kkminfoholder.h"

#include <QJsonObject>
#include <QObject>
#include <QVariant>

namespace taxvault {

// The answer to a cash placement: the status block alone.
class MoneyPlacementResponse : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)

public:
    QJsonObject toJson() const;

    bool operator==(const MoneyPlacementResponse&) const = default;
};

} // namespace taxvault
