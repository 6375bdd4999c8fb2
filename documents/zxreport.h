#pragma once

#include "documents/moneyplacement.h"
#include "documents/operation.h"
#include "documents/section.h"
#include "documents/taxtotals.h"
#include "documents/ticketoperation.h"

#include <QDateTime>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace taxvault {

// An X or Z report. Map keys are operation types unless noted otherwise.
class ZXReport
{
    Q_GADGET
    Q_PROPERTY(QString dateTime READ dateTimeToString WRITE dateTimeFromString)
    Q_PROPERTY(QString openShiftTime READ openShiftTimeToString WRITE openShiftTimeFromString)
    Q_PROPERTY(QString closeShiftTime READ closeShiftTimeToString WRITE closeShiftTimeFromString)
    Q_PROPERTY(int shiftNumber MEMBER shiftNumber)
    Q_PROPERTY(QVariantMap sections READ sectionsToMap WRITE sectionsFromMap)
    Q_PROPERTY(QVariantMap operations READ operationsToMap WRITE operationsFromMap)
    Q_PROPERTY(QVariantMap discounts READ discountsToMap WRITE discountsFromMap)
    Q_PROPERTY(QVariantMap markups READ markupsToMap WRITE markupsFromMap)
    Q_PROPERTY(QVariantMap totalResult READ totalResultToMap WRITE totalResultFromMap)
    Q_PROPERTY(QVariantMap taxes READ taxesToMap WRITE taxesFromMap)
    Q_PROPERTY(QVariantMap startShiftNonNullableSums READ startShiftNonNullableSumsToMap WRITE
                   startShiftNonNullableSumsFromMap)
    Q_PROPERTY(QVariantMap ticketOperations READ ticketOperationsToMap WRITE ticketOperationsFromMap)
    Q_PROPERTY(QVariantMap moneyPlacements READ moneyPlacementsToMap WRITE moneyPlacementsFromMap)
    Q_PROPERTY(double cashSum MEMBER cashSum)
    Q_PROPERTY(double revenue MEMBER revenue)
    Q_PROPERTY(QVariantMap nonNullableSums READ nonNullableSumsToMap WRITE nonNullableSumsFromMap)

public:
    bool operator==(const ZXReport&) const = default;

    QDateTime dateTime;
    QDateTime openShiftTime;
    QDateTime closeShiftTime;
    int shiftNumber = 0;
    QMap<QString, Section> sections; // key: the section code
    QMap<int, Operation> operations;
    QMap<int, Operation> discounts;
    QMap<int, Operation> markups;
    QMap<int, Operation> totalResult;
    QMap<int, TaxTotals> taxes; // key: the tax rate in percent
    QMap<int, double> startShiftNonNullableSums;
    QMap<int, TicketOperation> ticketOperations;
    QMap<int, MoneyPlacement> moneyPlacements; // key: the cash placement type
    double cashSum = 0;
    double revenue = 0;
    QMap<int, double> nonNullableSums;

private:
    QString dateTimeToString() const;
    void dateTimeFromString(const QString& value);
    QString openShiftTimeToString() const;
    void openShiftTimeFromString(const QString& value);
    QString closeShiftTimeToString() const;
    void closeShiftTimeFromString(const QString& value);
    QVariantMap sectionsToMap() const;
    void sectionsFromMap(const QVariantMap& value);
    QVariantMap operationsToMap() const;
    void operationsFromMap(const QVariantMap& value);
    QVariantMap discountsToMap() const;
    void discountsFromMap(const QVariantMap& value);
    QVariantMap markupsToMap() const;
    void markupsFromMap(const QVariantMap& value);
    QVariantMap totalResultToMap() const;
    void totalResultFromMap(const QVariantMap& value);
    QVariantMap taxesToMap() const;
    void taxesFromMap(const QVariantMap& value);
    QVariantMap startShiftNonNullableSumsToMap() const;
    void startShiftNonNullableSumsFromMap(const QVariantMap& value);
    QVariantMap ticketOperationsToMap() const;
    void ticketOperationsFromMap(const QVariantMap& value);
    QVariantMap moneyPlacementsToMap() const;
    void moneyPlacementsFromMap(const QVariantMap& value);
    QVariantMap nonNullableSumsToMap() const;
    void nonNullableSumsFromMap(const QVariantMap& value);
};

} // namespace taxvault
