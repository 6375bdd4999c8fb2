#include "storage/databaseconnection.h"

#include "storage/database.h"
#include "storage/databasekey.h"

#include "log4qt/logger.h"
#include "sqlcipher/sqlcipherdriver.h"
#include "sqlcipher/sqlcipherresult.h"

#include <sqlcipher/sqlite3.h>

#include <QMutexLocker>
#include <QSqlError>

namespace taxvault {

namespace {

// SQLite's own checkpoint threshold, in pages of the log.
constexpr int kCheckpointPages = 1000;

sqlite3* handleOf(const QSqlDatabase& db)
{
    return static_cast<sqlite3*>(db.driver()->handle().value<void*>());
}

} // namespace

DatabaseConnection::DatabaseConnection()
    : DatabaseConnection(Database::dbFilePath(), QLatin1String(QSqlDatabase::defaultConnection))
{
}

DatabaseConnection::DatabaseConnection(const QString& path, const QString& connectionName)
    : m_logger(Log4Qt::Logger::logger(QStringLiteral("dao")))
{
    if (QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLCIPHER"))) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLCIPHER"), connectionName);
        m_db.setDatabaseName(path);
    }
}

DatabaseConnection::~DatabaseConnection()
{
    close();
}

QString DatabaseConnection::errorText(const QSqlQuery& query) const
{
    // A statement refused before it reached the driver (connection not open)
    // carries no text of its own; the connection's error says why.
    const QString text = query.lastError().text();
    if (!text.isEmpty())
        return text;
    return m_watch.lost() ? *m_watch.lost() : m_db.lastError().text();
}

bool DatabaseConnection::open()
{
    QMutexLocker locker(&m_mutex);
    if (m_watch.lost())
        return false;
    if (m_db.isOpen())
        return true;
    m_logger->debug(QStringLiteral("Открываем базу данных"));
    forgetPreparedStatements();
    m_db.open();
    QSqlQuery query(m_db);
    // The statement holds the passphrase: it is never logged.
    if (!query.exec(DatabaseKey::keyStatement())) {
        m_logger->warn(errorText(query));
        return false;
    }
    // A commit is acknowledged only once it is on the disk, in the write-ahead
    // log as in the rollback journal.
    if (!query.exec(QStringLiteral("PRAGMA synchronous=FULL")))
        m_logger->warn(errorText(query));
    if (sqlite3* db = handleOf(m_db)) {
        m_watch.watch(m_db.databaseName(), db, [this] { abandon(); });
        // Replaces SQLite's automatic checkpoint with one that looks first.
        sqlite3_wal_hook(db, &DatabaseConnection::onCommitted, this);
    }
    return true;
}

void DatabaseConnection::close()
{
    QMutexLocker locker(&m_mutex);
    forgetPreparedStatements();
    if (!m_db.isOpen())
        return;
    // Closing checkpoints: only into the file that was opened, whole.
    if (fileIsSound()) {
        m_watch.stop();
        m_db.close();
    }
}

int DatabaseConnection::onCommitted(void* connection, sqlite3* db, const char* name, int pages)
{
    auto* self = static_cast<DatabaseConnection*>(connection);
    self->m_watch.noteCompanions();
    if (pages >= kCheckpointPages && self->m_watch.mayCheckpoint()) {
        sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        self->m_watch.noteOwnWrite();
    }
    return SQLITE_OK;
}

bool DatabaseConnection::fileIsSound()
{
    QMutexLocker locker(&m_mutex);
    return m_watch.admits();
}

void DatabaseConnection::abandon()
{
    forgetPreparedStatements();
    if (auto* driver = dynamic_cast<SqlCipherDriver*>(m_db.driver()))
        DatabaseFileWatch::keepAbandoned(driver->abandon());
}

void DatabaseConnection::forgetPreparedStatements()
{
    m_prepared.clear();
    ++m_connectionGeneration;
}

QueryResult DatabaseConnection::run(const QString& statement, const QVariantList& values, bool bound,
                                    const SqlCipherRowVisitor* visitor)
{
    QMutexLocker locker(&m_mutex);
    open();
    // Statements of a transaction were preceded by its look.
    if (m_transactionDepth == 0 && !fileIsSound()) {
        QueryResult result(m_db); // ran nothing: failed
        logFailedExec(result.query);
        return result;
    }
    return execute(statement, values, bound, visitor);
}

QueryResult DatabaseConnection::execute(const QString& statement, const QVariantList& values, bool bound,
                                        const SqlCipherRowVisitor* visitor)
{
    // A text of several statements runs them one by one, parsed every time.
    if (bound || !statement.contains(u';')) {
        if (std::optional<QueryResult> result = runPrepared(statement, values, visitor))
            return std::move(*result);
    }
    // Run as a new statement would, its rows kept even with a visitor.
    QueryResult result(m_db);
    if (bound) {
        result.query.prepare(statement);
        bindAndExec(result.query, values, result.success);
    } else {
        result.success = result.query.exec(statement);
    }
    if (!result.success)
        logFailedExec(result.query);
    return result;
}

std::optional<QueryResult> DatabaseConnection::runPrepared(const QString& statement, const QVariantList& values,
                                                           const SqlCipherRowVisitor* visitor)
{
    // Parsing a statement costs more than running it: each text is prepared
    // once per connection and lent out to run again with new values. While a
    // caller still holds its rows, a second use prepares a statement of its own.
    QueryResult result(m_db);
    const auto cached = m_prepared.find(statement);
    if (cached != m_prepared.end()) {
        result.query = std::move(cached->second);
        m_prepared.erase(cached);
        result.giveBack = statementKeeper(statement);
        bool visited = false;
        const SqlCipherRowVisitor counted = [visitor, &visited](const SqlCipherRow& row) {
            visited = true;
            (*visitor)(row);
        };
        bindAndExec(result.query, values, result.success, visitor ? &counted : nullptr);
        if (result.success)
            return result;
        const QString code = result.query.lastError().nativeErrorCode();
        // Rows already handed on cannot be taken back by running it again.
        if ((code != QLatin1String("1") && code != QLatin1String("17")) || visited) {
            logFailedExec(result.query);
            return result;
        }
        // The schema changed under the statement and it no longer compiles, so
        // nothing ran: it is dropped and runs (or fails) as a new one would.
        result.giveBack = nullptr;
        result = QueryResult(m_db);
    }
    if (!result.query.prepare(statement))
        return std::nullopt;
    result.giveBack = statementKeeper(statement);
    bindAndExec(result.query, values, result.success, visitor);
    if (!result.success)
        logFailedExec(result.query);
    return result;
}

void DatabaseConnection::bindAndExec(QSqlQuery& query, const QVariantList& values, bool& success,
                                     const SqlCipherRowVisitor* visitor)
{
    static const QString names[] = {QStringLiteral(":param1"), QStringLiteral(":param2"),
                                    QStringLiteral(":param3")};
    for (int i = 0; i < values.size(); ++i) {
        query.bindValue(i < 3 ? names[i] : QStringLiteral(":param%1").arg(i + 1), values.at(i), QSql::In);
    }
    success = visitor ? SqlCipherResult::execVisiting(query, *visitor) : query.exec();
}

std::function<void(QSqlQuery&&)> DatabaseConnection::statementKeeper(const QString& statement)
{
    return [this, statement, generation = m_connectionGeneration](QSqlQuery&& query) {
        QMutexLocker locker(&m_mutex);
        // A statement of a closed connection is dead.
        if (generation != m_connectionGeneration)
            return;
        query.finish(); // the rows of its last run are not kept
        // Nor its values: a large record would stay in memory with the statement.
        const qsizetype bound = query.boundValues().size();
        for (int i = 0; i < bound; ++i)
            query.bindValue(i, QVariant());
        // One already kept again is enough: this one is then dropped.
        m_prepared.try_emplace(statement, std::move(query));
    };
}

void DatabaseConnection::logFailedExec(const QSqlQuery& query)
{
    m_logger->info(QStringLiteral("Ошибка выполнения запроса"));
    m_logger->error(errorText(query));
}

bool DatabaseConnection::beginTransaction(Sync sync)
{
    m_mutex.lock();
    // Another thread waits above until the transaction has ended, so an open
    // one here is this thread's own: the inner one becomes a savepoint.
    if (m_transactionDepth > 0) {
        if (!execute(QStringLiteral("SAVEPOINT nested"), {}, false).success) {
            m_mutex.unlock();
            return false;
        }
        ++m_transactionDepth;
        return true;
    }
    open();
    // The first write of a command goes only into the file that was opened.
    if (!fileIsSound()) {
        m_logger->error(QStringLiteral("Не удалось начать транзакцию: %1").arg(*m_watch.lost()));
        m_mutex.unlock();
        return false;
    }
    // The level cannot change inside a transaction; it is set back at its end.
    m_deferredSync =
        sync == Sync::Deferred && execute(QStringLiteral("PRAGMA synchronous=NORMAL"), {}, false).success;
    m_logger->debug(QStringLiteral("Начало транзакции"));
    if (!m_db.transaction()) {
        m_logger->error(QStringLiteral("Не удалось начать транзакцию: %1").arg(m_db.lastError().text()));
        restoreSync();
        m_mutex.unlock();
        return false;
    }
    // The lock taken above stays held until the transaction ends.
    m_transactionDepth = 1;
    return true;
}

bool DatabaseConnection::commitTransaction()
{
    QMutexLocker locker(&m_mutex);
    if (m_transactionDepth == 0) {
        m_logger->error(QStringLiteral("Нет начатой транзакции"));
        return false;
    }
    if (m_transactionDepth > 1) {
        // What the savepoint holds becomes part of the enclosing transaction.
        const bool released = execute(QStringLiteral("RELEASE SAVEPOINT nested"), {}, false).success;
        if (!released)
            execute(QStringLiteral("ROLLBACK TO SAVEPOINT nested; RELEASE SAVEPOINT nested"), {}, false);
        --m_transactionDepth;
        m_mutex.unlock(); // the lock of beginTransaction()
        return released;
    }
    m_transactionDepth = 0;
    m_logger->debug(QStringLiteral("Подтверждение транзакции"));
    bool committed = m_db.commit();
    if (!committed) {
        m_logger->error(QStringLiteral("Не удалось подтвердить транзакцию: %1").arg(m_db.lastError().text()));
        // Leave nothing half-done behind, and no transaction open for the next caller.
        if (!m_db.rollback())
            m_logger->error(
                QStringLiteral("Не удалось откатить транзакцию: %1").arg(m_db.lastError().text()));
    }
    restoreSync();
    m_mutex.unlock(); // the lock of beginTransaction()
    return committed;
}

void DatabaseConnection::restoreSync()
{
    if (!m_deferredSync)
        return;
    m_deferredSync = false;
    // A connection left lazy would weaken every later commit: a new one syncs.
    if (!execute(QStringLiteral("PRAGMA synchronous=FULL"), {}, false).success)
        close();
}

bool DatabaseConnection::rollbackTransaction()
{
    QMutexLocker locker(&m_mutex);
    if (m_transactionDepth == 0) {
        m_logger->error(QStringLiteral("Нет начатой транзакции"));
        return false;
    }
    if (m_transactionDepth > 1) {
        // Undoes the savepoint's statements only; the enclosing transaction goes on.
        const bool rolledBack = execute(QStringLiteral("ROLLBACK TO SAVEPOINT nested"), {}, false).success &&
                                execute(QStringLiteral("RELEASE SAVEPOINT nested"), {}, false).success;
        --m_transactionDepth;
        m_mutex.unlock(); // the lock of beginTransaction()
        return rolledBack;
    }
    m_transactionDepth = 0;
    m_logger->debug(QStringLiteral("Откат транзакции"));
    const bool rolledBack = m_db.rollback();
    if (!rolledBack)
        m_logger->error(QStringLiteral("Не удалось откатить транзакцию: %1").arg(m_db.lastError().text()));
    restoreSync();
    m_mutex.unlock(); // the lock of beginTransaction()
    return rolledBack;
}

} // namespace taxvault
