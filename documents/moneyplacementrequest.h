#pragma once

#include "documents/kkminfoholder.h"
#include "documents/operatorcashier.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>

namespace taxvault {

// A cash deposit or withdrawal.
class MoneyPlacementRequest : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(QString dateTime READ dateTimeToString WRITE dateTimeFromString)
    Q_PROPERTY(int operation MEMBER operation)
    Q_PROPERTY(double sum MEMBER sum)
    Q_PROPERTY(bool isOfflineFlag MEMBER isOfflineFlag)
    Q_PROPERTY(QVariant frShiftNumber MEMBER frShiftNumber)
    Q_PROPERTY(QVariant printedDocumentNumber MEMBER printedDocumentNumber)
    Q_PROPERTY(QVariant operatorCashier READ operatorCashierToVariant WRITE operatorCashierFromVariant)

public:
    static MoneyPlacementRequest fromJson(const QJsonObject& json);
    QJsonObject toJson() const;

    bool operator==(const MoneyPlacementRequest&) const = default;

    QDateTime dateTime;
    int operation = 0;
    double sum = 0;
    bool isOfflineFlag = false;
    QVariant frShiftNumber;
    QVariant printedDocumentNumber;
    OperatorCashier operatorCashier;

private:
    QString dateTimeToString() const;
    void dateTimeFromString(const QString& value);
    QVariant operatorCashierToVariant() const;
    void operatorCashierFromVariant(const QVariant& value);
};

} // namespace taxvault
