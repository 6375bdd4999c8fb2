#pragma once

#include <QSet>
#include <QSqlDriver>

struct sqlite3;
class SqlCipherResult;

// Registers the driver under the name "QSQLCIPHER". Call it before the first
// QSqlDatabase::addDatabase for that name; calling it again changes nothing.
void registerSqlCipherDriver();

// A Qt SQL driver over a SQLCipher connection. The file must exist: the driver
// never creates one, so a mistyped path cannot leave an empty database behind.
// The key is sent by the caller as the first statement ("PRAGMA key=...").
// Prepared statements are real SQLite statements with bound values; named
// placeholders are mapped to positions by QSqlResult.
class SqlCipherDriver : public QSqlDriver
{
public:
    explicit SqlCipherDriver(QObject* parent = nullptr);
    ~SqlCipherDriver() override;

    bool hasFeature(DriverFeature feature) const override;
    bool open(const QString& db, const QString& user, const QString& password, const QString& host, int port,
              const QString& connectOptions) override;
    void close() override;
    // Lets go of the connection without closing it and hands it over: nothing
    // more is written into its file, not even the checkpoint a close makes.
    [[nodiscard]] sqlite3* abandon();
    QSqlResult* createResult() const override;

    bool beginTransaction() override;
    bool commitTransaction() override;
    bool rollbackTransaction() override;

    QStringList tables(QSql::TableType type) const override;
    QString escapeIdentifier(const QString& identifier, IdentifierType type) const override;
    QVariant handle() const override;

    sqlite3* connection() const { return m_connection; }

private:
    friend class SqlCipherResult;

    bool execSimple(const char* statement, const QString& failureText);
    // Finalizes the results and hands over the connection, no longer the driver's.
    sqlite3* letGo();

    sqlite3* m_connection = nullptr;
    // Results still holding a statement; closing finalizes them first.
    QSet<SqlCipherResult*> m_results;
};
