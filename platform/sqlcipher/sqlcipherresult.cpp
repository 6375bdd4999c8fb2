#include "sqlcipher/sqlcipherresult.h"
#include "sqlcipher/sqlcipherdriver.h"

#include <sqlcipher/sqlite3.h>

#include <QDateTime>
#include <QSqlField>

#include <QSqlQuery>
#include <QVarLengthArray>

#include <cstring>
#include <limits>

namespace {

bool onlyWhitespace(const char* begin, const char* end)
{
    for (const char* p = begin; p < end; ++p) {
        if (*p != ' ' && *p != '\t' && *p != '\n' && *p != '\r' && *p != '\f' && *p != '\v')
            return false;
    }
    return true;
}

QMetaType columnType(sqlite3_stmt* statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return QMetaType(QMetaType::LongLong);
    case SQLITE_FLOAT:
        return QMetaType(QMetaType::Double);
    case SQLITE_BLOB:
        return QMetaType(QMetaType::QByteArray);
    default:
        return QMetaType(QMetaType::QString);
    }
}

// A stored value. Texts and blobs keep their bytes after the row's cells; a
// size of -1 stands for the null pointer SQLite gave, which Qt keeps apart from
// an empty value.
struct Cell
{
    int type;
    int size;
    qint64 integer; // the value of an integer; where the bytes of a text or blob begin
    double real;
};

QByteArray storedRow(sqlite3_stmt* statement, int columns)
{
    QVarLengthArray<const char*, 8> bytes(columns);
    QVarLengthArray<Cell, 8> cells(columns);
    qsizetype size = qsizetype(sizeof(Cell)) * columns;
    for (int i = 0; i < columns; ++i) {
        Cell& cell = cells[i];
        cell = {sqlite3_column_type(statement, i), 0, 0, 0.0};
        bytes[i] = nullptr;
        switch (cell.type) {
        case SQLITE_INTEGER:
            cell.integer = sqlite3_column_int64(statement, i);
            break;
        case SQLITE_FLOAT:
            cell.real = sqlite3_column_double(statement, i);
            break;
        case SQLITE_NULL:
            break;
        default:
            // The pointer first, then the size: the size of the form just made.
            bytes[i] = cell.type == SQLITE_BLOB
                           ? static_cast<const char*>(sqlite3_column_blob(statement, i))
                           : reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
            cell.size = bytes[i] ? sqlite3_column_bytes(statement, i) : -1;
            cell.integer = size;
            size += qMax(cell.size, 0);
            break;
        }
    }
    QByteArray row(size, Qt::Uninitialized);
    char* data = row.data();
    for (int i = 0; i < columns; ++i) {
        std::memcpy(data + sizeof(Cell) * i, &cells[i], sizeof(Cell));
        if (cells[i].size > 0)
            std::memcpy(data + cells[i].integer, bytes[i], size_t(cells[i].size));
    }
    return row;
}

// The connection's page cache size as "PRAGMA cache_size" gives it (pages, or
// KiB when negative); nothing when it cannot be read.
std::optional<qint64> pageCacheSize(sqlite3* connection)
{
    if (!connection)
        return std::nullopt;
    sqlite3_stmt* statement = nullptr;
    std::optional<qint64> size;
    if (sqlite3_prepare_v2(connection, "PRAGMA cache_size", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        size = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return size;
}

void setPageCacheSize(sqlite3* connection, qint64 size)
{
    const QByteArray statement = "PRAGMA cache_size=" + QByteArray::number(size);
    sqlite3_exec(connection, statement.constData(), nullptr, nullptr, nullptr);
}

Cell cellOf(const QByteArray& row, int column)
{
    Cell cell;
    std::memcpy(&cell, row.constData() + sizeof(Cell) * column, sizeof(Cell));
    return cell;
}

const char* bytesOf(const QByteArray& row, const Cell& cell)
{
    return cell.size < 0 ? nullptr : row.constData() + cell.integer;
}

} // namespace

SqlCipherResult::SqlCipherResult(const SqlCipherDriver* driver) : QSqlResult(driver)
{
    owner()->m_results.insert(this);
}

SqlCipherResult::~SqlCipherResult()
{
    finalize();
    if (SqlCipherDriver* driver = owner())
        driver->m_results.remove(this);
}

SqlCipherDriver* SqlCipherResult::owner() const
{
    return const_cast<SqlCipherDriver*>(static_cast<const SqlCipherDriver*>(driver()));
}

sqlite3* SqlCipherResult::connection() const
{
    const SqlCipherDriver* driver = owner();
    return driver ? driver->connection() : nullptr;
}

QVariant SqlCipherResult::handle() const
{
    return QVariant::fromValue(static_cast<void*>(m_statement));
}

void SqlCipherResult::finalize()
{
    if (m_statement) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

void SqlCipherResult::clearRows()
{
    m_rows.clear();
    m_columns = 0;
    m_record.clear();
    m_rowsAffected = 0;
    setSelect(false);
    setActive(false);
    setAt(QSql::BeforeFirstRow);
}

void SqlCipherResult::fail(const QString& driverText, int code, QSqlError::ErrorType type)
{
    sqlite3* connection = this->connection();
    const QString text =
        connection ? QString::fromUtf8(sqlite3_errmsg(connection)) : QStringLiteral("Database is not open");
    setLastError(QSqlError(driverText, text, type, QString::number(code)));
}

bool SqlCipherResult::run(sqlite3_stmt* statement)
{
    clearRows();
    const int columns = sqlite3_column_count(statement);
    bool anyRow = false;
    for (;;) {
        const int rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            if (!anyRow) {
                for (int i = 0; i < columns; ++i)
                    m_record.append(QSqlField(QString::fromUtf8(sqlite3_column_name(statement, i)),
                                              columnType(statement, i)));
                anyRow = true;
            }
            if (m_visitor)
                (*m_visitor)(SqlCipherRow(statement));
            else
                m_rows.append(storedRow(statement, columns));
            continue;
        }
        if (rc == SQLITE_DONE)
            break;
        fail(QStringLiteral("Unable to execute statement"), rc, QSqlError::StatementError);
        sqlite3_reset(statement);
        m_rows.clear();
        return false;
    }
    if (!anyRow) {
        for (int i = 0; i < columns; ++i)
            m_record.append(QSqlField(QString::fromUtf8(sqlite3_column_name(statement, i)),
                                      QMetaType(QMetaType::QString)));
    }
    m_columns = columns;
    sqlite3* connection = this->connection();
    m_rowsAffected = columns > 0 ? 0 : sqlite3_changes(connection);
    m_lastInsertId = sqlite3_last_insert_rowid(connection);
    // Resetting releases the statement's read lock on the file.
    sqlite3_reset(statement);
    setSelect(columns > 0);
    setActive(true);
    return true;
}

bool SqlCipherResult::reset(const QString& query)
{
    finalize();
    clearRows();
    m_prepareError = QSqlError();
    sqlite3* connection = this->connection();
    if (!connection) {
        setLastError(QSqlError(QStringLiteral("Unable to execute statement"),
                               QStringLiteral("Database is not open"), QSqlError::ConnectionError));
        return false;
    }
    // A plain statement text may hold several statements; they run in order,
    // and the rows are those of the last one.
    const QByteArray text = query.toUtf8();
    const char* tail = text.constData();
    const char* end = tail + text.size();
    while (tail < end && !onlyWhitespace(tail, end)) {
        sqlite3_stmt* statement = nullptr;
        const char* next = nullptr;
        const int rc = sqlite3_prepare_v2(connection, tail, int(end - tail), &statement, &next);
        if (rc != SQLITE_OK) {
            fail(QStringLiteral("Unable to execute statement"), rc, QSqlError::StatementError);
            return false;
        }
        // Prepare stops at a NUL byte without consuming it: what follows can
        // never run, so the text is refused rather than looped on.
        if (!statement && next == tail) {
            setLastError(QSqlError(QStringLiteral("Unable to execute statement"),
                                   QStringLiteral("The statement text holds a NUL character"),
                                   QSqlError::StatementError));
            return false;
        }
        tail = next;
        if (!statement)
            continue;
        const bool ok = run(statement);
        sqlite3_finalize(statement);
        if (!ok)
            return false;
    }
    return true;
}

bool SqlCipherResult::prepare(const QString& query)
{
    finalize();
    clearRows();
    m_prepareError = QSqlError();
    sqlite3* connection = this->connection();
    if (!connection) {
        m_prepareError = QSqlError(QStringLiteral("Unable to prepare statement"),
                                   QStringLiteral("Database is not open"), QSqlError::ConnectionError);
        setLastError(m_prepareError);
        return false;
    }
    const QByteArray text = query.toUtf8();
    const char* end = text.constData() + text.size();
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(connection, text.constData(), int(text.size()), &m_statement, &tail);
    if (rc == SQLITE_OK && !m_statement) {
        m_prepareError = QSqlError(QStringLiteral("Unable to prepare statement"),
                                   QStringLiteral("Empty statement"), QSqlError::StatementError);
        setLastError(m_prepareError);
        return false;
    }
    if (rc == SQLITE_OK && tail && !onlyWhitespace(tail, end)) {
        // Only one statement can carry bound values; a second one would be dropped silently.
        sqlite3_stmt* extra = nullptr;
        const char* extraTail = nullptr;
        rc = sqlite3_prepare_v2(connection, tail, int(end - tail), &extra, &extraTail);
        // Prepare stops at a NUL byte: text after one would be dropped as well.
        const bool another =
            rc != SQLITE_OK || extra != nullptr || (extraTail && !onlyWhitespace(extraTail, end));
        sqlite3_finalize(extra);
        if (another) {
            finalize();
            m_prepareError = QSqlError(QStringLiteral("Unable to prepare statement"),
                                       QStringLiteral("A prepared query holds more than one statement"),
                                       QSqlError::StatementError);
            setLastError(m_prepareError);
            return false;
        }
        rc = SQLITE_OK;
    }
    if (rc != SQLITE_OK) {
        fail(QStringLiteral("Unable to prepare statement"), rc, QSqlError::StatementError);
        m_prepareError = lastError();
        finalize();
        return false;
    }
    return true;
}

bool SqlCipherResult::bind(int position, const QVariant& value)
{
    int rc = SQLITE_OK;
    if (value.isNull()) {
        rc = sqlite3_bind_null(m_statement, position);
    } else {
        switch (value.typeId()) {
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
            rc = sqlite3_bind_int64(m_statement, position, value.toLongLong());
            break;
        case QMetaType::ULong:
        case QMetaType::ULongLong: {
            const qulonglong number = value.toULongLong();
            if (number <= qulonglong(std::numeric_limits<qint64>::max()))
                rc = sqlite3_bind_int64(m_statement, position, qint64(number));
            else
                rc = sqlite3_bind_double(m_statement, position, double(number));
            break;
        }
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(m_statement, position, value.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            rc = sqlite3_bind_blob(m_statement, position, bytes.constData(), int(bytes.size()),
                                   SQLITE_TRANSIENT);
            break;
        }
        default: {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text(m_statement, position, text.constData(), int(text.size()),
                                   SQLITE_TRANSIENT);
            break;
        }
        }
    }
    if (rc != SQLITE_OK) {
        fail(QStringLiteral("Unable to bind parameters"), rc, QSqlError::StatementError);
        return false;
    }
    return true;
}

bool SqlCipherResult::exec()
{
    clearRows();
    if (!m_statement) {
        if (!connection()) {
            setLastError(QSqlError(QStringLiteral("Unable to execute statement"),
                                   QStringLiteral("Database is not open"), QSqlError::ConnectionError));
            return false;
        }
        setLastError(m_prepareError.isValid()
                         ? m_prepareError
                         : QSqlError(QStringLiteral("Unable to execute statement"),
                                     QStringLiteral("No statement prepared"), QSqlError::StatementError));
        return false;
    }
    sqlite3_reset(m_statement);
    sqlite3_clear_bindings(m_statement);
    const QList<QVariant>& values = boundValues();
    const int parameters = sqlite3_bind_parameter_count(m_statement);
    if (values.size() != parameters) {
        setLastError(QSqlError(QStringLiteral("Unable to bind parameters"),
                               QStringLiteral("Parameter count mismatch: %1 expected, %2 bound")
                                   .arg(parameters)
                                   .arg(values.size()),
                               QSqlError::StatementError));
        return false;
    }
    for (int i = 0; i < parameters; ++i) {
        if (!bind(i + 1, values.at(i)))
            return false;
    }
    return run(m_statement);
}

const QByteArray* SqlCipherResult::currentRow() const
{
    const int row = at();
    if (row < 0 || row >= m_rows.size() || m_rows.at(row).isEmpty())
        return nullptr;
    return &m_rows.at(row);
}

QVariant SqlCipherResult::data(int column)
{
    const QByteArray* row = currentRow();
    if (!row || column < 0 || column >= m_columns)
        return QVariant();
    const Cell cell = cellOf(*row, column);
    switch (cell.type) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(cell.integer));
    case SQLITE_FLOAT:
        return QVariant(cell.real);
    case SQLITE_BLOB:
        return QVariant(QByteArray(bytesOf(*row, cell), qMax(cell.size, 0)));
    case SQLITE_NULL:
        return QVariant();
    default:
        return QVariant(QString::fromUtf8(bytesOf(*row, cell), qMax(cell.size, 0)));
    }
}

bool SqlCipherResult::execVisiting(QSqlQuery& query, const SqlCipherRowVisitor& visit)
{
    // The query is the caller's to change; it only hands out its result as const.
    auto* result = const_cast<SqlCipherResult*>(dynamic_cast<const SqlCipherResult*>(query.result()));
    if (!result)
        return query.exec();
    // Pages read once gain nothing from the page cache: a few, used again and
    // again, spare allocating (and touching) one for every page of the table.
    sqlite3* connection = result->connection();
    std::optional<qint64> cacheSize = pageCacheSize(connection);
    const qint64 fewPages = 16;
    if (cacheSize && (*cacheSize < 0 || *cacheSize > fewPages))
        setPageCacheSize(connection, fewPages);
    else
        cacheSize.reset();
    result->m_visitor = &visit;
    const bool executed = query.exec();
    result->m_visitor = nullptr;
    if (cacheSize)
        setPageCacheSize(connection, *cacheSize);
    return executed;
}

bool SqlCipherResult::isNull(int column)
{
    return data(column).isNull();
}

bool SqlCipherResult::fetch(int row)
{
    if (!isActive() || row < 0)
        return false;
    // A forward-only reader never comes back: a large result shrinks as it is read.
    if (isForwardOnly() && at() >= 0 && at() < row && at() < m_rows.size())
        m_rows[at()] = QByteArray();
    if (row >= m_rows.size()) {
        setAt(QSql::AfterLastRow);
        return false;
    }
    setAt(row);
    return true;
}

bool SqlCipherResult::fetchFirst()
{
    return fetch(0);
}

bool SqlCipherResult::fetchLast()
{
    return fetch(int(m_rows.size()) - 1);
}

int SqlCipherResult::size()
{
    return isSelect() ? int(m_rows.size()) : -1;
}

int SqlCipherResult::numRowsAffected()
{
    return m_rowsAffected;
}

QSqlRecord SqlCipherResult::record() const
{
    return m_record;
}

QVariant SqlCipherResult::lastInsertId() const
{
    return isActive() ? QVariant(m_lastInsertId) : QVariant();
}

void SqlCipherResult::detachFromResultSet()
{
    // The statement is already reset; a finished query keeps no rows, and
    // SQLite no copy of the values it ran with.
    m_rows = QList<QByteArray>();
    if (m_statement)
        sqlite3_clear_bindings(m_statement);
}
