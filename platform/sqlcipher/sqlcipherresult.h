#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QSqlError>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVariant>

#include <optional>

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

    // The UTF-8 bytes of a text value in the query's current row, as stored,
    // valid until the query moves on; nothing for any other value, or for a
    // query of another driver. Saves the UTF-16 copy of large texts that are
    // only passed on as bytes.
    static std::optional<QByteArrayView> text(const QSqlQuery& query, int column);

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
    int m_rowsAffected = 0;
    qint64 m_lastInsertId = 0;
};
