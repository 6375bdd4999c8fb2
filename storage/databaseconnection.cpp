#include "storage/databaseconnection.h"

#include "storage/database.h"
#include "storage/databasekey.h"

#include "log4qt/logger.h"
#include "sqlcipher/sqlcipherdriver.h"
#include "sqlcipher/sqlcipherresult.h"

#include <sqlcipher/sqlite3.h>

#include <QMutexLocker>
#include <QScopeGuard>
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
    // Called from inside SQLite's C code, which no exception may cross. The
    // commit is done; a checkpoint left out now is made at a later commit.
    try {
        auto* self = static_cast<DatabaseConnection*>(connection);
        self->m_watch.noteCompanions();
        if (pages >= kCheckpointPages && self->m_watch.mayCheckpoint()) {
            sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
            self->m_watch.noteOwnWrite();
        }
    } catch (...) {
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
        reportFailure(statement, errorText(result.query));
        return result;
    }
    // SQLite ends a transaction itself on some failures (a full disk, an I/O
    // error). Run now, a statement would commit alone: part of a command kept.
    if (m_transactionDepth > 0 && !inSqliteTransaction()) {
        QueryResult result(m_db); // ran nothing: failed
        reportFailure(statement, QStringLiteral("транзакция прервана SQLite"));
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
        result.success = bindAndExec(result.query, values);
    } else {
        result.success = result.query.exec(statement);
    }
    if (!result.success)
        reportFailure(statement, errorText(result.query));
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
        result.success = bindAndExec(result.query, values, visitor ? &counted : nullptr);
        if (result.success)
            return result;
        const QString code = result.query.lastError().nativeErrorCode();
        // Rows already handed on cannot be taken back by running it again.
        if ((code != QLatin1String("1") && code != QLatin1String("17")) || visited) {
            reportFailure(statement, errorText(result.query));
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
    result.success = bindAndExec(result.query, values, visitor);
    if (!result.success)
        reportFailure(statement, errorText(result.query));
    return result;
}

bool DatabaseConnection::bindAndExec(QSqlQuery& query, const QVariantList& values,
                                     const SqlCipherRowVisitor* visitor)
{
    static const QString names[] = {QStringLiteral(":param1"), QStringLiteral(":param2"),
                                    QStringLiteral(":param3")};
    for (int i = 0; i < values.size(); ++i) {
        query.bindValue(i < 3 ? names[i] : QStringLiteral(":param%1").arg(i + 1), values.at(i), QSql::In);
    }
    return visitor ? SqlCipherResult::execVisiting(query, *visitor) : query.exec();
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

DatabaseConnection::Transaction::Transaction(DatabaseConnection& connection, Sync sync)
    : m_connection(connection), m_lock(connection.m_mutex)
{
    m_open = m_connection.beginLevel(sync);
    if (!m_open)
        m_lock.unlock();
}

DatabaseConnection::Transaction::~Transaction()
{
    rollback();
}

bool DatabaseConnection::Transaction::commit()
{
    return end(&DatabaseConnection::commitLevel);
}

bool DatabaseConnection::Transaction::rollback()
{
    return end(&DatabaseConnection::rollbackLevel);
}

bool DatabaseConnection::Transaction::end(bool (DatabaseConnection::*level)())
{
    if (!m_open)
        return false;
    // Over from here whatever the end meets: a throw leaves the rollback of an
    // unfinished outermost level to the connection, the lock to m_lock.
    m_open = false;
    const bool ended = (m_connection.*level)();
    m_lock.unlock();
    return ended;
}

bool DatabaseConnection::beginLevel(Sync sync)
{
    // Another thread waits on the lock until the transaction has ended, so an
    // open one here is this thread's own: the inner one becomes a savepoint.
    if (m_transactionDepth > 0) {
        if (!execControl("SAVEPOINT nested"))
            return false;
        ++m_transactionDepth;
        return true;
    }
    open();
    // The first write of a command goes only into the file that was opened.
    if (!fileIsSound()) {
        m_logger->error(QStringLiteral("Не удалось начать транзакцию: %1").arg(*m_watch.lost()));
        return false;
    }
    // The level cannot change inside a transaction; it is set back at its end,
    // or at once when the beginning fails or throws.
    sqlite3* db = handleOf(m_db);
    m_deferredSync = sync == Sync::Deferred && db &&
                     sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr) == SQLITE_OK;
    auto unbegun = qScopeGuard([this] { restoreSync(); });
    m_logger->debug(QStringLiteral("Начало транзакции"));
    if (!m_db.transaction()) {
        m_logger->error(QStringLiteral("Не удалось начать транзакцию: %1").arg(m_db.lastError().text()));
        return false;
    }
    unbegun.dismiss();
    m_transactionDepth = 1;
    return true;
}

bool DatabaseConnection::commitLevel()
{
    if (m_transactionDepth > 1) {
        // What the savepoint holds becomes part of the enclosing transaction.
        --m_transactionDepth;
        if (execControl("RELEASE SAVEPOINT nested"))
            return true;
        if (inSqliteTransaction())
            execControl("ROLLBACK TO SAVEPOINT nested; RELEASE SAVEPOINT nested");
        return false;
    }
    auto ended = qScopeGuard([this] { endOutermost(); });
    m_transactionDepth = 0;
    m_logger->debug(QStringLiteral("Подтверждение транзакции"));
    const bool committed = m_db.commit();
    if (!committed) {
        // Nothing half-done stays behind: endOutermost() rolls back.
        m_logger->error(QStringLiteral("Не удалось подтвердить транзакцию: %1").arg(m_db.lastError().text()));
    }
    return committed;
}

bool DatabaseConnection::rollbackLevel() noexcept
{
    if (m_transactionDepth > 1) {
        --m_transactionDepth;
        // SQLite ends the whole transaction itself on some failures (a full
        // disk, an I/O error): the savepoint's statements are undone already.
        if (!inSqliteTransaction())
            return true;
        // Undoes the savepoint's statements only; the enclosing transaction goes on.
        return execControl("ROLLBACK TO SAVEPOINT nested; RELEASE SAVEPOINT nested");
    }
    try {
        m_logger->debug(QStringLiteral("Откат транзакции"));
    } catch (...) {
    }
    endOutermost();
    return !inSqliteTransaction();
}

void DatabaseConnection::endOutermost() noexcept
{
    m_transactionDepth = 0;
    // A transaction SQLite has ended itself (a full disk, an I/O error) is no
    // failure of the rollback: nothing is left to roll back.
    if (inSqliteTransaction()) {
        try {
            if (!m_db.rollback())
                m_logger->error(
                    QStringLiteral("Не удалось откатить транзакцию: %1").arg(m_db.lastError().text()));
        } catch (...) {
        }
        // The rollback above threw before it ran.
        if (inSqliteTransaction())
            sqlite3_exec(handleOf(m_db), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    restoreSync();
}

bool DatabaseConnection::inSqliteTransaction() const noexcept
{
    sqlite3* db = handleOf(m_db);
    return db && !sqlite3_get_autocommit(db);
}

bool DatabaseConnection::execControl(const char* statement) noexcept
{
    sqlite3* db = handleOf(m_db);
    const int rc = db ? sqlite3_exec(db, statement, nullptr, nullptr, nullptr) : SQLITE_MISUSE;
    if (rc == SQLITE_OK)
        return true;
    try {
        reportFailure(QString::fromUtf8(statement),
                      db ? QString::fromUtf8(sqlite3_errmsg(db)) : m_db.lastError().text());
    } catch (...) {
    }
    return false;
}

void DatabaseConnection::restoreSync() noexcept
{
    if (!m_deferredSync)
        return;
    m_deferredSync = false;
    sqlite3* db = handleOf(m_db);
    // A connection left lazy would weaken every later commit: a new one syncs.
    if (db && sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr) != SQLITE_OK) {
        try {
            close();
        } catch (...) {
        }
    }
}

void DatabaseConnection::reportFailure(const QString& statement, const QString& error)
{
    // Reported here alone: callers say only what their failure means.
    m_logger->error(QStringLiteral("Ошибка выполнения запроса: %1. Запрос: %2").arg(error, statement));
}

} // namespace taxvault
