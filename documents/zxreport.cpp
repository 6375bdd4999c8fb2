#include "documents/zxreport.h"

#include "documents/documentmapping.h"

namespace taxvault {

QString ZXReport::dateTimeToString() const
{
    return mapping::readValue(dateTime);
}

void ZXReport::dateTimeFromString(const QString& value)
{
    mapping::writeValue(dateTime, value);
}

QString ZXReport::openShiftTimeToString() const
{
    return mapping::readValue(openShiftTime);
}

void ZXReport::openShiftTimeFromString(const QString& value)
{
    mapping::writeValue(openShiftTime, value);
}

QString ZXReport::closeShiftTimeToString() const
{
    return mapping::readValue(closeShiftTime);
}

void ZXReport::closeShiftTimeFromString(const QString& value)
{
    mapping::writeValue(closeShiftTime, value);
}

QVariantMap ZXReport::sectionsToMap() const
{
    return mapping::readValue(sections);
}

void ZXReport::sectionsFromMap(const QVariantMap& value)
{
    mapping::writeValue(sections, value);
}

QVariantMap ZXReport::operationsToMap() const
{
    return mapping::readValue(operations);
}

void ZXReport::operationsFromMap(const QVariantMap& value)
{
    mapping::writeValue(operations, value);
}

QVariantMap ZXReport::discountsToMap() const
{
    return mapping::readValue(discounts);
}

void ZXReport::discountsFromMap(const QVariantMap& value)
{
    mapping::writeValue(discounts, value);
}

QVariantMap ZXReport::markupsToMap() const
{
    return mapping::readValue(markups);
}

void ZXReport::markupsFromMap(const QVariantMap& value)
{
    mapping::writeValue(markups, value);
}

QVariantMap ZXReport::totalResultToMap() const
{
    return mapping::readValue(totalResult);
}

void ZXReport::totalResultFromMap(const QVariantMap& value)
{
    mapping::writeValue(totalResult, value);
}

QVariantMap ZXReport::taxesToMap() const
{
    return mapping::readValue(taxes);
}

void ZXReport::taxesFromMap(const QVariantMap& value)
{
    mapping::writeValue(taxes, value);
}

QVariantMap ZXReport::startShiftNonNullableSumsToMap() const
{
    return mapping::readValue(startShiftNonNullableSums);
}

void ZXReport::startShiftNonNullableSumsFromMap(const QVariantMap& value)
{
    mapping::writeValue(startShiftNonNullableSums, value);
}

QVariantMap ZXReport::ticketOperationsToMap() const
{
    return mapping::readValue(ticketOperations);
}

void ZXReport::ticketOperationsFromMap(const QVariantMap& value)
{
    mapping::writeValue(ticketOperations, value);
}

QVariantMap ZXReport::moneyPlacementsToMap() const
{
    return mapping::readValue(moneyPlacements);
}

void ZXReport::moneyPlacementsFromMap(const QVariantMap& value)
{
    mapping::writeValue(moneyPlacements, value);
}

QVariantMap ZXReport::nonNullableSumsToMap() const
{
    return mapping::readValue(nonNullableSums);
}

void ZXReport::nonNullableSumsFromMap(const QVariantMap& value)
{
    mapping::writeValue(nonNullableSums, value);
}

} // namespace taxvault
