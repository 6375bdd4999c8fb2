#pragma once

#include "storage/databasefilewatch.h"
#include "storage/queryresult.h"

#include "sqlcipher/sqlcipherrow.h"

#include <QRecursiveMutex>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>

#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>

struct sqlite3;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

// The one "QSQLCIPHER" connection to the service database, opened and keyed on
// first use and shared by every thread: its statements, prepared once and lent
// out again, and its transactions. Everything runs under one recursive mutex,
// which the Dao's operations take for their whole length.
//
// Whether it may still touch its file is DatabaseFileWatch's to say.
class DatabaseConnection
{
public:
    // The service database, under Qt's default connection name.
    DatabaseConnection();
    // Another file under another name, as tests need it.
    DatabaseConnection(const QString& path, const QString& connectionName);
    ~DatabaseConnection();

    DatabaseConnection(const DatabaseConnection&) = delete;
    DatabaseConnection& operator=(const DatabaseConnection&) = delete;

    QRecursiveMutex& mutex() { return m_mutex; }

    // Opens and keys the connection when it is closed; false when it cannot be
    // used (keying failed, or the file was lost).
    bool open();
    // Closes the connection (a later statement opens it again). The last
    // connection to close checkpoints the write-ahead log into the file and
    // removes it, so a file copied after a clean end holds everything; a file
    // replaced or cut under it is never checkpointed into.
    void close();

    // exec() (bound false) or execPrepared(); with a visitor, each row goes to it
    // as it is read and the result keeps none.
    QueryResult run(const QString& statement, const QVariantList& values, bool bound,
                    const SqlCipherRowVisitor* visitor = nullptr);

    enum class Sync { Synced, Deferred };

    // One transaction of the calling thread for the life of the object. It holds
    // the connection's lock from its beginning to its end, so other threads wait
    // while this one's statements run as usual; one begun inside another is a
    // savepoint of it. Leaving the scope before commit(), by an exception too,
    // rolls it back: no transaction and no lock outlives its scope.
    class Transaction
    {
    public:
        Transaction(DatabaseConnection& connection, Sync sync);
        ~Transaction();

        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;

        // Whether it began; one that did not leaves every statement to commit alone.
        bool isOpen() const { return m_open; }
        // Ends it; false when its writes did not stay (a failed outermost commit
        // rolls back) or it was not open.
        bool commit();
        bool rollback();

    private:
        // Runs the connection's end of the level, once.
        bool end(bool (DatabaseConnection::*level)());

        DatabaseConnection& m_connection;
        std::unique_lock<QRecursiveMutex> m_lock;
        bool m_open = false;
    };

    // The file's path, and whether a transaction of this thread is open (under mutex()).
    QString path() const { return m_db.databaseName(); }
    bool inTransaction() const { return m_transactionDepth > 0; }
    // The file was lost: every statement is refused.
    bool isLost() const { return m_watch.lost().has_value(); }

    // Looks at the file the connection opened; false once it was lost, and
    // from then on (see DatabaseFileWatch).
    bool fileIsSound();

private:
    // The query's error text, or the connection's when the query has none.
    QString errorText(const QSqlQuery& query) const;
    // run() without the look at the file: for the statements of a transaction.
    QueryResult execute(const QString& statement, const QVariantList& values, bool bound,
                        const SqlCipherRowVisitor* visitor = nullptr);
    void forgetPreparedStatements();
    // The statement run prepared, kept for the next time; nothing when it does
    // not compile now (nothing ran, nothing was logged).
    std::optional<QueryResult> runPrepared(const QString& statement, const QVariantList& values,
                                           const SqlCipherRowVisitor* visitor);
    // Binds the values as :param1, :param2, ... and runs it; whether it ran.
    bool bindAndExec(QSqlQuery& query, const QVariantList& values,
                     const SqlCipherRowVisitor* visitor = nullptr);
    // Takes a lent prepared statement back into m_prepared.
    std::function<void(QSqlQuery&&)> statementKeeper(const QString& statement);
    // The levels of Transaction, under m_mutex held by it.
    bool beginLevel(Sync sync);
    bool commitLevel();
    bool rollbackLevel() noexcept;
    // Ends the outermost level whatever failed or threw on the way: SQLite
    // keeps no transaction open, and the connection syncs again.
    void endOutermost() noexcept;
    // A statement of the transactions themselves, on SQLite directly: it
    // throws nothing, so an unwinding scope can always end its transaction.
    // Its failure is reported; true when it ran.
    bool execControl(const char* statement) noexcept;
    // Whether SQLite holds an open transaction on this connection.
    bool inSqliteTransaction() const noexcept;
    // Back to synced commits after a Deferred transaction.
    void restoreSync() noexcept;
    // The one report of a failed statement: SQLite's text and the statement.
    void reportFailure(const QString& statement, const QString& error);

    // The watch's way of ending the connection without a close.
    void abandon();
    // SQLite calls it after each commit with the pages in the log: the log is
    // checkpointed here, after a look at the file, instead of by SQLite itself.
    static int onCommitted(void* connection, sqlite3* db, const char* name, int pages);

    QSqlDatabase m_db;
    Log4Qt::Logger* m_logger;
    QRecursiveMutex m_mutex;
    // Nesting of the open transaction of the thread holding m_mutex (0: none);
    // read and written only under m_mutex.
    int m_transactionDepth = 0;
    // The open outermost transaction commits without waiting for the disk.
    bool m_deferredSync = false;
    // Prepared statements of the open connection by their whole text, each
    // while no result holds it.
    std::unordered_map<QString, QSqlQuery> m_prepared;
    // Counts connections opened and closed: a statement lent before one comes back dead.
    quint64 m_connectionGeneration = 0;
    DatabaseFileWatch m_watch;
};

} // namespace taxvault
