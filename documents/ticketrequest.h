#pragma once

#include "documents/amounts.h"
#include "documents/domain.h"
#include "documents/extensionoptions.h"
#include "documents/item.h"
#include "documents/kkminfoholder.h"
#include "documents/operatorcashier.h"
#include "documents/parentticket.h"
#include "documents/tax.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

namespace taxvault {

// A sale or return receipt as the point-of-sale program sends it.
class TicketRequest : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(int operation MEMBER operation)
    Q_PROPERTY(QString dateTime READ dateTimeToString WRITE dateTimeFromString)
    Q_PROPERTY(QVariant operatorCashier READ operatorCashierToVariant WRITE operatorCashierFromVariant)
    Q_PROPERTY(QVariant domain READ domainToVariant WRITE domainFromVariant)
    Q_PROPERTY(QVariantList items READ itemsToList WRITE itemsFromList)
    Q_PROPERTY(QVariantMap payments READ paymentsToMap WRITE paymentsFromMap)
    Q_PROPERTY(QVariantList taxes READ taxesToList WRITE taxesFromList)
    Q_PROPERTY(QVariant amounts READ amountsToVariant WRITE amountsFromVariant)
    Q_PROPERTY(QVariant extensionOptions READ extensionOptionsToVariant WRITE extensionOptionsFromVariant)
    Q_PROPERTY(QVariant offlineTicketNumber MEMBER offlineTicketNumber)
    Q_PROPERTY(QVariant printedDocumentNumber MEMBER printedDocumentNumber)
    Q_PROPERTY(QVariant frShiftNumber MEMBER frShiftNumber)
    Q_PROPERTY(QVariant parentTicket READ parentTicketToVariant WRITE parentTicketFromVariant)

public:
    static TicketRequest fromJson(const QJsonObject& json);
    QJsonObject toJson() const;
    // Into the receipt's taxes and into those of the part that each item's type selects.
    void setTaxationType(int taxationType);

    bool operator==(const TicketRequest&) const = default;

    int operation = 2;
    QDateTime dateTime;
    OperatorCashier operatorCashier;
    Domain domain;
    QList<Item> items;
    QMap<int, double> payments;
    QList<Tax> taxes;
    Amounts amounts;
    std::optional<ExtensionOptions> extensionOptions;
    QVariant offlineTicketNumber;
    QVariant printedDocumentNumber;
    QVariant frShiftNumber;
    std::optional<ParentTicket> parentTicket;

private:
    QString dateTimeToString() const;
    void dateTimeFromString(const QString& value);
    QVariant operatorCashierToVariant() const;
    void operatorCashierFromVariant(const QVariant& value);
    QVariant domainToVariant() const;
    void domainFromVariant(const QVariant& value);
    QVariantList itemsToList() const;
    void itemsFromList(const QVariantList& value);
    QVariantMap paymentsToMap() const;
    void paymentsFromMap(const QVariantMap& value);
    QVariantList taxesToList() const;
    void taxesFromList(const QVariantList& value);
    QVariant amountsToVariant() const;
    void amountsFromVariant(const QVariant& value);
    QVariant extensionOptionsToVariant() const;
    void extensionOptionsFromVariant(const QVariant& value);
    QVariant parentTicketToVariant() const;
    void parentTicketFromVariant(const QVariant& value);
};

} // namespace taxvault
