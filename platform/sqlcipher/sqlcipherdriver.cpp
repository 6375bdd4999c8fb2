#include "sqlcipher/sqlcipherdriver.h"
#include "sqlcipher/sqlcipherresult.h"

#include <sqlcipher/sqlite3.h>

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <utility>

void registerSqlCipherDriver()
{
    static const bool registered = [] {
        QSqlDatabase::registerSqlDriver(QStringLiteral("QSQLCIPHER"),
                                        new QSqlDriverCreator<SqlCipherDriver>());
        return true;
    }();
    Q_UNUSED(registered);
}

SqlCipherDriver::SqlCipherDriver(QObject* parent) : QSqlDriver(parent) {}

SqlCipherDriver::~SqlCipherDriver()
{
    close();
}

bool SqlCipherDriver::hasFeature(DriverFeature feature) const
{
    switch (feature) {
    case Transactions:
    case QuerySize:
    case BLOB:
    case Unicode:
    case PreparedQueries:
    case PositionalPlaceholders:
    case LastInsertId:
    case FinishQuery:
        return true;
    // Named placeholders are turned into positions by QSqlResult, which also
    // repeats the value of a name that occurs twice.
    case NamedPlaceholders:
    case LowPrecisionNumbers:
    case SimpleLocking:
    case EventNotifications:
    case BatchOperations:
    case MultipleResultSets:
    case CancelQuery:
        return false;
    }
    return false;
}

bool SqlCipherDriver::open(const QString& db, const QString&, const QString&, const QString&, int,
                           const QString&)
{
    if (isOpen())
        close();

    sqlite3* connection = nullptr;
    // Serialized mode: the connection is shared by several threads.
    const int rc = sqlite3_open_v2(db.toUtf8().constData(), &connection,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const QString text = connection ? QString::fromUtf8(sqlite3_errmsg(connection))
                                        : QString::fromUtf8(sqlite3_errstr(rc));
        sqlite3_close(connection);
        setLastError(QSqlError(QStringLiteral("Error opening database"), text, QSqlError::ConnectionError,
                               QString::number(rc)));
        setOpenError(true);
        return false;
    }
    // The service and the maintenance tool may use the file at the same time.
    sqlite3_busy_timeout(connection, 5000);
    m_connection = connection;
    setOpen(true);
    setOpenError(false);
    return true;
}

void SqlCipherDriver::close()
{
    if (sqlite3* connection = letGo())
        sqlite3_close(connection);
}

sqlite3* SqlCipherDriver::abandon()
{
    return letGo();
}

sqlite3* SqlCipherDriver::letGo()
{
    if (!m_connection)
        return nullptr;
    const QSet<SqlCipherResult*> results = m_results;
    for (SqlCipherResult* result : results)
        result->finalize();
    m_results.clear();
    setOpen(false);
    setOpenError(false);
    return std::exchange(m_connection, nullptr);
}

QSqlResult* SqlCipherDriver::createResult() const
{
    return new SqlCipherResult(this);
}

bool SqlCipherDriver::execSimple(const char* statement, const QString& failureText)
{
    if (!m_connection) {
        setLastError(
            QSqlError(failureText, QStringLiteral("Database is not open"), QSqlError::TransactionError));
        return false;
    }
    char* message = nullptr;
    const int rc = sqlite3_exec(m_connection, statement, nullptr, nullptr, &message);
    if (rc == SQLITE_OK)
        return true;
    const QString text = message ? QString::fromUtf8(message) : QString::fromUtf8(sqlite3_errstr(rc));
    sqlite3_free(message);
    setLastError(QSqlError(failureText, text, QSqlError::TransactionError, QString::number(rc)));
    return false;
}

bool SqlCipherDriver::beginTransaction()
{
    // IMMEDIATE takes the write lock at once: a deferred transaction could fail
    // half-way when the other program holds the file.
    return execSimple("BEGIN IMMEDIATE", QStringLiteral("Unable to begin transaction"));
}

bool SqlCipherDriver::commitTransaction()
{
    return execSimple("COMMIT", QStringLiteral("Unable to commit transaction"));
}

bool SqlCipherDriver::rollbackTransaction()
{
    return execSimple("ROLLBACK", QStringLiteral("Unable to roll back transaction"));
}

QStringList SqlCipherDriver::tables(QSql::TableType type) const
{
    QStringList names;
    if (!isOpen())
        return names;
    QStringList conditions;
    if (type & QSql::Tables)
        conditions << QStringLiteral("(type = 'table' AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\')");
    if (type & QSql::Views)
        conditions << QStringLiteral("type = 'view'");
    if (!conditions.isEmpty()) {
        QSqlQuery query(createResult());
        if (query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE %1 ORDER BY name")
                           .arg(conditions.join(QStringLiteral(" OR "))))) {
            while (query.next())
                names << query.value(0).toString();
        }
    }
    if (type & QSql::SystemTables)
        names << QStringLiteral("sqlite_master");
    return names;
}

QString SqlCipherDriver::escapeIdentifier(const QString& identifier, IdentifierType) const
{
    if (isIdentifierEscaped(identifier, TableName))
        return identifier;
    QString escaped = identifier;
    escaped.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

QVariant SqlCipherDriver::handle() const
{
    return QVariant::fromValue(static_cast<void*>(m_connection));
}
