#pragma once

#include "documents/tax.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVariantList>
#include <QVariantMap>

namespace taxvault {

// The goods of a commodity line.
class Commodity
{
    Q_GADGET
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString sectionCode MEMBER sectionCode)
    Q_PROPERTY(int quantity MEMBER quantity)
    Q_PROPERTY(double price MEMBER price)
    Q_PROPERTY(double sum MEMBER sum)
    Q_PROPERTY(QVariantList taxes READ taxesToList WRITE taxesFromList)
    Q_PROPERTY(QString exciseStamp MEMBER exciseStamp)
    Q_PROPERTY(QString physicalLabel MEMBER physicalLabel)
    Q_PROPERTY(QString barcode MEMBER barcode)
    Q_PROPERTY(QString ntin MEMBER ntin)
    Q_PROPERTY(QString measureUnitCode MEMBER measureUnitCode)
    Q_PROPERTY(QVariantMap auxiliary MEMBER auxiliary)

public:
    bool operator==(const Commodity&) const = default;

    QString name;
    QString sectionCode;
    int quantity = 0;
    double price = 0;
    double sum = 0;
    QList<Tax> taxes;
    QString exciseStamp;
    QString physicalLabel;
    QString barcode;
    QString ntin;
    QString measureUnitCode;
    QVariantMap auxiliary;

private:
    QVariantList taxesToList() const;
    void taxesFromList(const QVariantList& value);
};

} // namespace taxvault
