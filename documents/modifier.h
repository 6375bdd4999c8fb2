#pragma once

#include "documents/tax.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

namespace taxvault {

// A markup or discount, of one line or of the whole receipt.
class Modifier
{
    Q_GADGET
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(double sum MEMBER sum)
    Q_PROPERTY(QVariantList taxes READ taxesToList WRITE taxesFromList)
    Q_PROPERTY(QVariantMap auxiliary MEMBER auxiliary)

public:
    bool operator==(const Modifier&) const = default;

    QString name;
    double sum = 0;
    QList<Tax> taxes;
    QVariantMap auxiliary;

private:
    QVariantList taxesToList() const;
    void taxesFromList(const QVariantList& value);
};

} // namespace taxvault
