#pragma once

#include <QList>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;
class SqlCipherDriver;

// One statement of a SqlCipherDriver connection. Executing it steps through all
// rows at once and keeps them as plain values, so no SQLite statement stays
// active between calls and reading the rows never touches the connection.
class SqlCipherResult : public QSqlResult
{
public:
    explicit SqlCipherResult(const SqlCipherDriver* driver);
    ~SqlCipherResult() override;

    QVariant handle() const override;
    void finalize();

protected:
    bool reset(const QString& query) override;
    bool prepare(const QString& query) override;
    bool exec() override;

    QVariant data(int column) override;
    bool isNull(int column) override;
    bool fetch(int row) override;
    bool fetchFirst() override;
    bool fetchLast() override;
    int size() override;
    int numRowsAffected() override;
    QSqlRecord record() const override;
    QVariant lastInsertId() const override;
    void detachFromResultSet() override;

private:
    SqlCipherDriver* owner() const;
    sqlite3* connection() const;
    bool run(sqlite3_stmt* statement);
    bool bind(int position, const QVariant& value);
    void fail(const QString& driverText, int code, QSqlError::ErrorType type);
    void clearRows();

    sqlite3_stmt* m_statement = nullptr;
    QSqlError m_prepareError;
    QSqlRecord m_record;
    QList<QVariantList> m_rows;
    int m_rowsAffected = 0;
    qint64 m_lastInsertId = 0;
};
