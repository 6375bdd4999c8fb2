#pragma once

#include <QList>
#include <QPair>
#include <QString>

// The header fields of an HTTP message, in the order they were added. Field
// names compare case-insensitively, as HTTP wants.
class BasicHeader
{
public:
    BasicHeader() = default;
    virtual ~BasicHeader() = default;

    bool hasKey(const QString& key) const;
    // The first value of the field, or an empty text.
    QString value(const QString& key) const;
    QList<QPair<QString, QString>> values() const { return m_values; }
    // Replaces every value of the field by this one.
    void setValue(const QString& key, const QString& value);
    void addValue(const QString& key, const QString& value);
    void removeValue(const QString& key);

    QString contentType() const { return value(QStringLiteral("Content-Type")); }
    void setContentType(const QString& type);
    bool hasContentLength() const { return hasKey(QStringLiteral("Content-Length")); }
    // -1 when the field is missing or not a number.
    qint64 contentLength() const;
    void setContentLength(int length);

    int majorVersion() const { return m_major; }
    int minorVersion() const { return m_minor; }

protected:
    void setVersion(int major, int minor);

private:
    QList<QPair<QString, QString>> m_values;
    int m_major = 1;
    int m_minor = 1;
};
