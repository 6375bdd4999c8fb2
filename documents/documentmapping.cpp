#include "documents/documentmapping.h"

#include <QMetaProperty>

#include <cmath>

namespace taxvault::mapping {

namespace {

// Null means "not given": a scalar, a text, a date-time, a list or a map keeps its value, as for an
// absent key. Only properties exposed as QVariant (free variants and optional members) see it.
// A document list takes arrays only: Qt would otherwise turn a text into one element per character.
bool accepts(const QMetaProperty& property, const QVariant& value)
{
    const QMetaType exposed = property.metaType();
    if (exposed == QMetaType::fromType<QVariant>())
        return true;
    if (value.isNull())
        return false;
    if (exposed == QMetaType::fromType<QVariantList>())
        return value.metaType() == exposed || value.metaType() == QMetaType::fromType<QStringList>();
    return true;
}

// The number kinds take a value that reads as NaN or an infinity ("NaN", "inf", "1e999") as they
// take a text that is no number: nothing in a fiscal document may become a non-finite amount.
bool isNumberKind(const QMetaType& type)
{
    switch (type.id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
        return true;
    default:
        return false;
    }
}

bool isNonFinite(const QVariant& value)
{
    return !std::isfinite(value.toDouble());
}

} // namespace

QVariantMap readProperties(const QMetaObject& metaObject, const void* document, bool skipNulls,
                           const QStringList& excluded)
{
    QVariantMap map;
    for (int index = 0; index < metaObject.propertyCount(); ++index) {
        const QMetaProperty property = metaObject.property(index);
        QVariant value = property.readOnGadget(document);
        if (skipNulls && value.isNull())
            continue;
        const QString name = QString::fromLatin1(property.name());
        if (excluded.contains(name))
            continue;
        map.insert(name, std::move(value));
    }
    return map;
}

void writeProperties(const QMetaObject& metaObject, void* document, const QVariantMap& map)
{
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        const int index = metaObject.indexOfProperty(it.key().toLatin1().constData());
        if (index < 0)
            continue;
        const QMetaProperty property = metaObject.property(index);
        // The lookup sees Latin-1 up to the first NUL: "name\u0000x" or non-Latin-1 look-alikes must
        // not land on "name".
        if (it.key() != QLatin1String(property.name()))
            continue;
        if (!accepts(property, it.value()))
            continue;
        if (isNumberKind(property.metaType()) && isNonFinite(it.value()))
            continue;
        property.writeOnGadget(document, it.value());
    }
}

double finiteOrZero(const QVariant& value)
{
    const double number = value.toDouble();
    return std::isfinite(number) ? number : 0.0;
}

int keyFromText(const QString& key)
{
    bool ok = false;
    const int number = key.toInt(&ok, 10);
    return ok ? number : 0;
}

QString readValue(const QDateTime& member)
{
    return member.isValid() ? member.toString(Qt::ISODate) : QString();
}

void writeValue(QDateTime& member, const QString& text)
{
    member = QDateTime::fromString(text, Qt::ISODate);
}

QVariant readValue(const std::optional<double>& member)
{
    return member ? QVariant(*member) : QVariant();
}

void writeValue(std::optional<double>& member, const QVariant& value)
{
    if (value.isNull())
        member.reset();
    else
        member = finiteOrZero(value);
}

QVariantMap readValue(const QMap<int, double>& member)
{
    return readIntKeyed(member, [](double entry) { return QVariant(entry); });
}

void writeValue(QMap<int, double>& member, const QVariantMap& value)
{
    writeIntKeyed(member, value, [](const QVariant& entry) { return finiteOrZero(entry); });
}

} // namespace taxvault::mapping
