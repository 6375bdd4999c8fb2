#include "storage/countersrecord.h"

#include <QJsonParseError>
#include <QJsonValue>
#include <QSqlQuery>
#include <QVariant>

#include <cmath>

namespace taxvault {

CountersRecord::CountersRecord() = default;

CountersRecord::CountersRecord(const QJsonObject& document) : m_document(document), m_null(false) {}

CountersRecord::CountersRecord(QSqlQuery& query)
{
    if (!query.next())
        return;
    m_rowid = query.value(0).toInt();
    m_null = false;
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(query.value(1).toString().toUtf8(), &error);
    m_document = parsed.object();
    m_damaged = error.error != QJsonParseError::NoError || !parsed.isObject();
    if (query.next())
        m_damaged = true;
    if (m_damaged)
        m_document = QJsonObject();
}

CountersRecord CountersRecord::unreadable()
{
    CountersRecord record;
    record.m_unreadable = true;
    return record;
}

QString CountersRecord::toJsonText(QJsonDocument::JsonFormat format) const
{
    return QString::fromUtf8(QJsonDocument(m_document).toJson(format));
}

namespace {

bool allFinite(const QJsonObject& document)
{
    for (const QJsonValue& value : document) {
        if (value.isObject() ? !allFinite(value.toObject())
                             : value.isDouble() && !std::isfinite(value.toDouble()))
            return false;
    }
    return true;
}

} // namespace

bool CountersRecord::isFinite() const
{
    return allFinite(m_document);
}

CountersRecord CountersRecord::operator+(const CountersRecord& other) const
{
    return CountersRecord(mergeCounters(m_document, other.m_document));
}

QJsonObject CountersRecord::mergeCounters(const QJsonObject& first, const QJsonObject& second)
{
    const auto number = [](const QJsonValue& value) { return value.isDouble() ? value.toDouble() : 0.0; };
    QJsonObject result;
    // A key of both sides is visited twice; the second visit writes the same value.
    for (const QString& key : first.keys() + second.keys()) {
        const QJsonValue a = first.value(key);
        const QJsonValue b = second.value(key);
        if (a.isObject() || b.isObject())
            result.insert(key, mergeCounters(a.toObject(), b.toObject()));
        else
            result.insert(key, number(a) + number(b));
    }
    return result;
}

} // namespace taxvault
