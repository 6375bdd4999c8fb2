#include "documents/documentmapping.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonValue>
#include <QMetaProperty>
#include <QMutex>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

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

// What an integer property of type T is given. A number outside T's range, which Qt would cut to
// its low bits (4294967298 into an int gives 2) or, for a double beyond 64 bits, turn into 0, is no
// number for T, as a text that is none: nothing is given. A fraction goes to the nearest integer,
// halves away from zero, as Qt rounds; a value of a type that JSON does not give goes to Qt's
// conversion as it is.
template <typename T> std::optional<QVariant> integerValue(const QVariant& value)
{
    const auto inRange = [](auto number) -> std::optional<QVariant> {
        if (std::in_range<T>(number))
            return QVariant::fromValue(T(number));
        return std::nullopt;
    };
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
        return inRange(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        return inRange(value.toULongLong());
    case QMetaType::Double: {
        const double rounded = std::round(value.toDouble());
        // The bounds as powers of two, which a double holds exactly: T's maximum it may not.
        const double end = 2.0 * double(std::numeric_limits<T>::max() / 2 + 1);
        if (rounded >= double(std::numeric_limits<T>::min()) && rounded < end)
            return QVariant::fromValue(T(rounded));
        return std::nullopt;
    }
    case QMetaType::QString: {
        // Read as Qt reads a text for a signed or an unsigned number.
        bool ok = false;
        const QString text = value.toString();
        if constexpr (std::is_signed_v<T>) {
            const qlonglong number = text.toLongLong(&ok);
            return ok ? inRange(number) : std::nullopt;
        } else {
            const qulonglong number = text.toULongLong(&ok);
            return ok ? inRange(number) : std::nullopt;
        }
    }
    default:
        return value;
    }
}

using IntegerValue = std::optional<QVariant> (*)(const QVariant&);

// Null for a property that is no integer.
IntegerValue integerValueFor(const QMetaType& type)
{
    switch (type.id()) {
    case QMetaType::Int:
        return &integerValue<int>;
    case QMetaType::UInt:
        return &integerValue<uint>;
    case QMetaType::LongLong:
        return &integerValue<qlonglong>;
    case QMetaType::ULongLong:
        return &integerValue<qulonglong>;
    default:
        return nullptr;
    }
}

// A document type's properties with their names as texts, and the property of
// each name: every conversion would otherwise search and convert the names anew.
struct PropertyTable
{
    struct Entry
    {
        QString name;
        QMetaProperty property;
        bool numberKind;
        IntegerValue integerValue;
    };
    QList<Entry> entries; // in the order of their names, as a QVariantMap holds them
    QHash<QString, qsizetype> byName;
};

const PropertyTable& propertyTable(const QMetaObject& metaObject)
{
    // Built once per document type and kept until the process ends, when they are released
    // (a leak checker would count them otherwise).
    static QMutex mutex;
    static std::unordered_map<const QMetaObject*, std::unique_ptr<const PropertyTable>> tables;
    QMutexLocker locker(&mutex);
    std::unique_ptr<const PropertyTable>& table = tables[&metaObject];
    if (!table) {
        auto built = std::make_unique<PropertyTable>();
        for (int index = 0; index < metaObject.propertyCount(); ++index) {
            const QMetaProperty property = metaObject.property(index);
            built->entries.append({QString::fromLatin1(property.name()), property,
                                   isNumberKind(property.metaType()), integerValueFor(property.metaType())});
        }
        std::sort(
            built->entries.begin(), built->entries.end(),
            [](const PropertyTable::Entry& a, const PropertyTable::Entry& b) { return a.name < b.name; });
        for (qsizetype i = 0; i < built->entries.size(); ++i)
            built->byName.insert(built->entries.at(i).name, i);
        table = std::move(built);
    }
    return *table;
}

QJsonValue jsonValue(const QVariant& value);

QJsonArray jsonArray(const QVariantList& list)
{
    QJsonArray array;
    for (const QVariant& element : list)
        array.append(jsonValue(element));
    return array;
}

QJsonValue jsonValue(const QVariant& value)
{
    switch (value.metaType().id()) {
    case QMetaType::UnknownType:
    case QMetaType::Nullptr:
        return QJsonValue(QJsonValue::Null);
    case QMetaType::Bool:
        return QJsonValue(value.toBool());
    case QMetaType::Int:
    case QMetaType::LongLong:
        return QJsonValue(value.toLongLong());
    case QMetaType::Double:
        if (std::isfinite(value.toDouble()))
            return QJsonValue(value.toDouble());
        break;
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::QVariantMap:
        return jsonObject(*static_cast<const QVariantMap*>(value.constData()));
    case QMetaType::QVariantList:
        return jsonArray(*static_cast<const QVariantList*>(value.constData()));
    default:
        break;
    }
    return QJsonObject::fromVariantMap({{QString(), value}}).value(QString());
}

} // namespace

namespace {

qsizetype weighed(const QJsonValue& value, qsizetype bound, qsizetype sum)
{
    if (value.isString())
        return sum + value.toString().size() + 2;
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end() && sum <= bound; ++it)
            sum = weighed(it.value(), bound, sum + it.key().size() + 4);
        return sum + 2;
    }
    if (value.isArray()) {
        const QJsonArray array = value.toArray();
        for (qsizetype i = 0; i < array.size() && sum <= bound; ++i)
            sum = weighed(array.at(i), bound, sum + 1);
        return sum + 2;
    }
    return sum + 8;
}

} // namespace

qsizetype weight(const QJsonObject& object, qsizetype bound)
{
    return weighed(object, bound, 0);
}

template <typename T> std::optional<T> integerOf(const QVariant& value)
{
    const std::optional<QVariant> given = integerValue<T>(value);
    if (!given)
        return std::nullopt;
    return given->value<T>();
}

template std::optional<quint32> integerOf<quint32>(const QVariant&);
template std::optional<quint64> integerOf<quint64>(const QVariant&);

QJsonObject jsonObject(const QVariantMap& map)
{
    QJsonObject object;
    // In key order: each key goes to the end of the object's sorted keys.
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        object.insert(it.key(), jsonValue(it.value()));
    return object;
}

QVariantMap readProperties(const QMetaObject& metaObject, const void* document, bool skipNulls,
                           const QStringList& excluded)
{
    QVariantMap map;
    for (const PropertyTable::Entry& entry : propertyTable(metaObject).entries) {
        QVariant value = entry.property.readOnGadget(document);
        if (skipNulls && value.isNull())
            continue;
        if (excluded.contains(entry.name))
            continue;
        // Each name comes after those before it: the end is where it goes.
        map.insert(map.cend(), entry.name, std::move(value));
    }
    return map;
}

void writeProperties(const QMetaObject& metaObject, void* document, const QVariantMap& map)
{
    const PropertyTable& table = propertyTable(metaObject);
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        // Only the exact name: "name\u0000x" or non-Latin-1 look-alikes never land on "name".
        const auto found = table.byName.constFind(it.key());
        if (found == table.byName.cend())
            continue;
        const PropertyTable::Entry& entry = table.entries.at(*found);
        if (!accepts(entry.property, it.value()))
            continue;
        if (entry.numberKind && isNonFinite(it.value()))
            continue;
        if (entry.integerValue) {
            const std::optional<QVariant> number = entry.integerValue(it.value());
            if (number)
                entry.property.writeOnGadget(document, *number);
            continue;
        }
        entry.property.writeOnGadget(document, it.value());
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
