#pragma once

#include "documents/kkminfoholder.h"
#include "documents/operatorcashier.h"
#include "documents/zxreport.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>

namespace taxvault {

// A shift closing with the Z report of the closing shift.
class CloseShiftRequest : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(QString closeTime READ closeTimeToString WRITE closeTimeFromString)
    Q_PROPERTY(bool isOfflineFlag MEMBER isOfflineFlag)
    Q_PROPERTY(QVariant frShiftNumber MEMBER frShiftNumber)
    Q_PROPERTY(bool withdrawMoney MEMBER withdrawMoney)
    Q_PROPERTY(QVariant zReport READ zxReportToVariant WRITE zxReportFromVariant)
    Q_PROPERTY(QVariant printedDocumentNumber MEMBER printedDocumentNumber)
    Q_PROPERTY(QVariant operatorCashier READ operatorCashierToVariant WRITE operatorCashierFromVariant)

public:
    static CloseShiftRequest fromJson(const QJsonObject& json);
    QJsonObject toJson() const;

    bool operator==(const CloseShiftRequest&) const = default;

    QDateTime closeTime;
    bool isOfflineFlag = false;
    QVariant frShiftNumber;
    bool withdrawMoney = false;
    ZXReport zReport;
    QVariant printedDocumentNumber;
    OperatorCashier operatorCashier;

private:
    QString closeTimeToString() const;
    void closeTimeFromString(const QString& value);
    QVariant zxReportToVariant() const;
    void zxReportFromVariant(const QVariant& value);
    QVariant operatorCashierToVariant() const;
    void operatorCashierFromVariant(const QVariant& value);
};

} // namespace taxvault
