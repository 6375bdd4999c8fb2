#include "korvannetwork/basicheader.h"

namespace {

bool sameKey(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

bool BasicHeader::hasKey(const QString& key) const
{
    for (const auto& field : m_values) {
        if (sameKey(field.first, key))
            return true;
    }
    return false;
}

QString BasicHeader::value(const QString& key) const
{
    for (const auto& field : m_values) {
        if (sameKey(field.first, key))
            return field.second;
    }
    return QString();
}

void BasicHeader::setValue(const QString& key, const QString& value)
{
    removeValue(key);
    addValue(key, value);
}

void BasicHeader::addValue(const QString& key, const QString& value)
{
    m_values.append(qMakePair(key, value));
}

void BasicHeader::removeValue(const QString& key)
{
    m_values.removeIf([&key](const QPair<QString, QString>& field) { return sameKey(field.first, key); });
}

void BasicHeader::setContentType(const QString& type)
{
    setValue(QStringLiteral("Content-Type"), type);
}

qint64 BasicHeader::contentLength() const
{
    bool ok = false;
    const qint64 length = value(QStringLiteral("Content-Length")).trimmed().toLongLong(&ok);
    return ok && length >= 0 ? length : -1;
}

void BasicHeader::setContentLength(int length)
{
    setValue(QStringLiteral("Content-Length"), QString::number(length));
}

void BasicHeader::setVersion(int major, int minor)
{
    m_major = major;
    m_minor = minor;
}
