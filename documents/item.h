#pragma once

#include "documents/commodity.h"
#include "documents/modifier.h"

#include <QObject>
#include <QVariant>

namespace taxvault {

// One receipt line; `type` says whether `commodity` or `modifier` carries it.
class Item
{
    Q_GADGET
    Q_PROPERTY(int type MEMBER type)
    Q_PROPERTY(QVariant commodity READ commodityToVariant WRITE commodityFromVariant)
    Q_PROPERTY(QVariant modifier READ modifierToVariant WRITE modifierFromVariant)

public:
    bool operator==(const Item&) const = default;

    int type = 1;
    Commodity commodity;
    Modifier modifier;

private:
    QVariant commodityToVariant() const;
    void commodityFromVariant(const QVariant& value);
    QVariant modifierToVariant() const;
    void modifierFromVariant(const QVariant& value);
};

} // namespace taxvault
