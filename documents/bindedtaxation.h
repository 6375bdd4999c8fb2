#pragma once

#include "documents/bindedtax.h"

#include <QList>
#include <QObject>
#include <QVariantList>

namespace taxvault {

// The taxation regime bound to the register.
class BindedTaxation
{
    Q_GADGET
    Q_PROPERTY(int type MEMBER type)
    Q_PROPERTY(QVariantList taxes READ taxesToList WRITE taxesFromList)

public:
    bool operator==(const BindedTaxation&) const = default;

    int type = 100;
    QList<BindedTax> taxes;

private:
    QVariantList taxesToList() const;
    void taxesFromList(const QVariantList& value);
};

} // namespace taxvault
