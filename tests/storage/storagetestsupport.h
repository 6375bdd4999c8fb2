#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariant>

#include <ostream>

struct sqlite3;

namespace storagetest {

// One temporary TAXVAULT_ROOT per test process, with the data directory made.
// Call before anything builds the database path: the path is fixed on first use.
QString ensureRoot();
QString dataDir();
void useDevice(int deviceId);

// A connection of the test's own, beside the one under test, to prepare and
// check files. An empty key opens the file unencrypted.
class RawDatabase
{
public:
    RawDatabase(const QString& path, const QByteArray& key);
    ~RawDatabase();
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    // Runs statements; false (with the message in error()) when one fails.
    bool exec(const QString& statements);
    // Every row of one query, values as SQLite gives them.
    QList<QVariantList> rows(const QString& query);
    QString error() const { return m_error; }

private:
    sqlite3* m_db = nullptr;
    QString m_error;
};

// Everything the loggers write to stderr between construction and text().
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    QString text();

private:
    int m_threshold;
    bool m_done = false;
    QString m_text;
};

QByteArray fileBytes(const QString& path);

} // namespace storagetest

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline void PrintTo(const QJsonObject& object, std::ostream* out)
{
    *out << QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}
