#pragma once

// The one road between documents and JSON: every document is a Q_GADGET whose properties are its
// JSON keys, and the operations below walk those properties through the meta-object system.
// The only state is a table of each type's properties, built once and shared under a lock, so any
// thread may convert its own documents at any time.

#include "documents/identical.h"
#include "utility/memo.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QMetaObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <type_traits>

namespace taxvault {

// A document class: a default-constructible Q_GADGET.
template <typename T>
concept Document = std::is_void_v<typename T::QtGadgetHelper> && std::is_default_constructible_v<T>;

namespace mapping {

// Type-erased halves of the generic operations; the templates below only supply the meta-object.
// QJsonObject::fromVariantMap without its detour through CBOR: the kinds a document holds become
// the same JSON values directly, any other kind goes through Qt's own conversion.
QJsonObject jsonObject(const QVariantMap& map);
QVariantMap readProperties(const QMetaObject& metaObject, const void* document, bool skipNulls,
                           const QStringList& excluded);
void writeProperties(const QMetaObject& metaObject, void* document, const QVariantMap& map);

// About the bytes of the object's compact text, counted only until they pass `bound`: what a memo
// of it would keep.
qsizetype weight(const QJsonObject& object, qsizetype bound);

// A free value read for an integer of type T as an integer property of that type reads it: a number
// outside T's range, or a text that is no number, gives nothing. Given for quint32 and quint64.
template <typename T> std::optional<T> integerOf(const QVariant& value);

} // namespace mapping

// The document's properties under their names; null values are left out when skipNulls is set.
template <Document T>
QVariant toVariantMap(const T& document, bool skipNulls = true, const QStringList& excluded = {})
{
    return mapping::readProperties(T::staticMetaObject, &document, skipNulls, excluded);
}

// The same map as a JSON object, keys sorted at every depth.
template <Document T> QJsonObject toJsonObject(const T& document, bool skipNulls = true)
{
    return mapping::jsonObject(
        mapping::readProperties(T::staticMetaObject, &document, skipNulls, QStringList()));
}

// toJsonObject, given again while the document reads the same as the one last converted: a stored
// record is mostly saved with what it held before. Not shared between threads.
template <Document T> class LastJson
{
public:
    QJsonObject operator()(const T& document)
    {
        return m_memo(
            mapping::readProperties(T::staticMetaObject, &document, true, QStringList()),
            [](const QVariantMap& kept, const QVariantMap& map) { return mapping::identical(kept, map); },
            &mapping::jsonObject,
            [](const QVariantMap&, const QJsonObject& json) {
                return mapping::weight(json, Memo<QVariantMap, QJsonObject>::kMaxBytes);
            });
    }

    bool holds() const { return m_memo.keptBytes() > 0; }

private:
    Memo<QVariantMap, QJsonObject> m_memo;
};

// Writes the keys of the map that name a property into an existing document; nothing is reset.
template <Document T> void applyVariantMap(const QVariantMap& map, T& document)
{
    mapping::writeProperties(T::staticMetaObject, &document, map);
}

// A default document with the keys of the map written into it.
template <Document T> T fromVariantMap(const QVariantMap& map)
{
    T document;
    applyVariantMap(map, document);
    return document;
}

template <Document T> T fromJsonObject(const QJsonObject& json)
{
    return fromVariantMap<T>(json.toVariantMap());
}

// A value that is not a map gives a default document.
template <Document T> T fromVariant(const QVariant& value)
{
    if (value.metaType() != QMetaType::fromType<QVariantMap>())
        return T();
    return fromVariantMap<T>(value.toMap());
}

// Accessors behind the properties that are not bound to their member, one overload per kind.
// A document's getter returns readValue(member), its setter calls writeValue(member, value).
namespace mapping {

// Whether a null write empties an optional document or leaves it as it is.
enum class OnNull { Clear, Keep };

// QVariant::toDouble, with 0 for what reads as NaN or an infinity, as for a text that is no number.
double finiteOrZero(const QVariant& value);

// A key that is no decimal int within range gives 0.
int keyFromText(const QString& key);

// date-time: ISO 8601 to the second, the empty text when invalid
QString readValue(const QDateTime& member);
void writeValue(QDateTime& member, const QString& text);

// plain nested document: always written; a write merges the given keys into the member
template <Document T> QVariant readValue(const T& member)
{
    return toVariantMap(member);
}

template <Document T> void writeValue(T& member, const QVariant& value)
{
    if (value.metaType() == QMetaType::fromType<QVariantMap>())
        applyVariantMap(value.toMap(), member);
}

// optional nested document: null when empty; a write replaces the whole document
template <Document T> QVariant readValue(const std::optional<T>& member)
{
    return member ? toVariantMap(*member) : QVariant();
}

template <Document T>
void writeValue(std::optional<T>& member, const QVariant& value, OnNull onNull = OnNull::Clear)
{
    if (value.isNull()) {
        if (onNull == OnNull::Clear)
            member.reset();
        return;
    }
    member = fromVariant<T>(value);
}

// optional double
QVariant readValue(const std::optional<double>& member);
void writeValue(std::optional<double>& member, const QVariant& value);

// document list
template <Document T> QVariantList readValue(const QList<T>& member)
{
    QVariantList list;
    list.reserve(member.size());
    for (const T& element : member)
        list.append(toVariantMap(element));
    return list;
}

template <Document T> void writeValue(QList<T>& member, const QVariantList& value)
{
    member.clear();
    member.reserve(value.size());
    for (const QVariant& element : value)
        member.append(fromVariant<T>(element));
}

// int-keyed maps: keys travel as decimal text
template <typename V, typename Convert> QVariantMap readIntKeyed(const QMap<int, V>& member, Convert convert)
{
    QVariantMap map;
    for (auto it = member.cbegin(); it != member.cend(); ++it)
        map.insert(QString::number(it.key()), convert(it.value()));
    return map;
}

// Keys are visited in text order, so when two keys land on the same number the later one wins
// ("01" before "1", "0" before "x").
template <typename V, typename Convert>
void writeIntKeyed(QMap<int, V>& member, const QVariantMap& value, Convert convert)
{
    member.clear();
    for (auto it = value.cbegin(); it != value.cend(); ++it)
        member.insert(keyFromText(it.key()), convert(it.value()));
}

template <Document T> QVariantMap readValue(const QMap<int, T>& member)
{
    return readIntKeyed(member, [](const T& entry) { return toVariantMap(entry); });
}

template <Document T> void writeValue(QMap<int, T>& member, const QVariantMap& value)
{
    writeIntKeyed(member, value, [](const QVariant& entry) { return fromVariant<T>(entry); });
}

QVariantMap readValue(const QMap<int, double>& member);
void writeValue(QMap<int, double>& member, const QVariantMap& value);

// text-keyed document map: keys kept exactly as they arrive
template <Document T> QVariantMap readValue(const QMap<QString, T>& member)
{
    QVariantMap map;
    for (auto it = member.cbegin(); it != member.cend(); ++it)
        map.insert(it.key(), toVariantMap(it.value()));
    return map;
}

template <Document T> void writeValue(QMap<QString, T>& member, const QVariantMap& value)
{
    member.clear();
    for (auto it = value.cbegin(); it != value.cend(); ++it)
        member.insert(it.key(), fromVariant<T>(it.value()));
}

} // namespace mapping
} // namespace taxvault
