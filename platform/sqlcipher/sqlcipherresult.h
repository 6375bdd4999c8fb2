#pragma once

#include "sqlcipher/sqlcipherrow.h"

#include <QByteArray>
#include <QList>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVariant>

struct sqlite3;
struct sqlite3_stmt;
class SqlCipherDriver;
class QSqlQuery;

// One statement of a SqlCipherDriver connection. Executing it steps through all
// rows at once and keeps them as SQLite gave them, so no SQLite statement stays
// active between calls and reading the rows never touches the connection. A
// value becomes a QVariant only when it is asked for.
class SqlCipherResult : public QSqlResult
{
public:
    explicit SqlCipherResult(const SqlCipherDriver* driver);
    ~SqlCipherResult() override;

    QVariant handle() const override;
    void finalize();

    // Executes the query (prepared, its values bound) as exec() does, but hands
    // each row to visit as SQLite steps to it and keeps none: for reading a
    // large table once, without a copy of it. The statement stays active while
    // visit runs. False, with the query's error set, when a step fails; the
    // rows visited before stay visited. A query of another driver is executed
    // as usual and keeps its rows.
    static bool execVisiting(QSqlQuery& query, const SqlCipherRowVisitor& visit);

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
    // The current row's stored form; null before the first and after the last row.
    const QByteArray* currentRow() const;

    sqlite3_stmt* m_statement = nullptr;
    QSqlError m_prepareError;
    QSqlRecord m_record;
    // Each row in one allocation: a cell per column, then the bytes of its texts and blobs.
    QList<QByteArray> m_rows;
    int m_columns = 0;
    // Set while execVisiting runs the statement.
    const SqlCipherRowVisitor* m_visitor = nullptr;
    int m_rowsAffected = 0;
    qint64 m_lastInsertId = 0;
};
