#pragma once

#include <QString>

#include <ctime>
#include <functional>
#include <optional>
#include <sys/types.h>

struct sqlite3;

namespace Log4Qt {
class Logger;
}

namespace taxvault {

/*
** The one owner of the question "is this still our database file", and of
** what happens when it is not.
**
** SQLite keeps writing into the file descriptors it opened. A file replaced at
** the path, removed, cut short or written over by another program goes
** unnoticed by it until the data is lost: a checkpoint writes the log into
** whatever the path now holds, or into a file cut short ("database disk image
** is malformed"), and an index the file system no longer lets anyone write
** ends the process with SIGBUS on its shared mapping.
**
** While the service runs, admits() looks before each command, each outermost
** transaction, each statement outside a transaction and the close; the wal
** hook asks mayCheckpoint() before each checkpoint of its own. One look is a
** stat of the file and of its -wal, and a flag query of the -shm index: the
** file must be the same inode, no shorter than at the last look, modified only
** by the service's own checkpoints (a write in place by another program moves
** the modification time), its -wal the one the connection opened, its index
** writable. The first finding is final until the process ends: it is logged,
** told to systemd, what the connection still reads whole (its cache, its open
** -wal and file) is written out beside the file as .replaced-<time>, and
** every later statement is refused.
**
** The connection is then abandoned, never closed: on SQLite 3.15.2 the close
** of the last connection checkpoints its log into the file at the path and
** removes the log (SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE came with 3.16). An
** abandoned connection writes nothing more, and the file and its log stay as
** they are for the engineer.
**
** A start must not undo this: SQLite would replay a -wal into a cut or
** foreign file, or make a new empty database where one was lost. Before
** anything opens the file, startupFinding() looks for evidence that the last
** run lost what it held: a file of 0 bytes (a new one is only ever put in
** place whole), a -wal or -shm beside a missing file, a file shorter than its
** -wal shows it to be, and a .replaced-* file beside it. Database::init then
** runs PRAGMA quick_check before it writes anything. A start that finds one
** of these ends before the port opens and leaves every file as it was.
*/
class DatabaseFileWatch
{
public:
    DatabaseFileWatch();
    ~DatabaseFileWatch();
    DatabaseFileWatch(const DatabaseFileWatch&) = delete;
    DatabaseFileWatch& operator=(const DatabaseFileWatch&) = delete;

    // What is wrong with the file at `path` for a start, or nothing. Reads
    // only; the file need not exist.
    static std::optional<QString> startupFinding(const QString& path);
    // What PRAGMA quick_check finds wrong with the database `db` reads, or nothing.
    static std::optional<QString> damage(sqlite3* db);
    // A start on a file that is not whole ends here: logged, told to systemd,
    // and `db` (if any) abandoned, so that nothing is written or checkpointed.
    static void refuseStart(Log4Qt::Logger* logger, const QString& finding, sqlite3* db = nullptr);
    // Keeps a connection let go without a close until the process ends.
    static void keepAbandoned(sqlite3* db);

    // Takes the file now at `path` as the one `db` opened. `letGo` makes the
    // connection let its handle go without closing it.
    void watch(const QString& path, sqlite3* db, std::function<void()> letGo);
    // The connection is closed in order: nothing more to watch.
    void stop();

    // True while the file is the one opened (or nothing is open); on the first
    // change found, decides what becomes of it and answers false from then on.
    bool admits();
    // Inside a commit only a look: a change is dealt with by the next admits().
    bool mayCheckpoint();
    // After a checkpoint of the connection's own: the file's new length and
    // modification time are the service's.
    void noteOwnWrite();
    // Notes the log and the index beside the file, once they exist: the
    // connection makes them at its first read and first commit.
    void noteCompanions();

    // Why statements are refused, once the file was lost.
    const std::optional<QString>& lost() const { return m_lost; }

private:
    enum class Change { Replaced, Cut, LogLost, WrittenByOther, IndexUnwritable };
    struct Finding
    {
        Change change;
        // What the error line says of it.
        QString text;
    };

    std::optional<Finding> look();
    void lose(const Finding& finding);
    // Moves the -wal at the path aside when it is the one written for the
    // opened file, so that no start replays it into another. The new name.
    std::optional<QString> moveOwnLogAside(const QString& suffix);

    Log4Qt::Logger* m_logger;
    QString m_path;
    sqlite3* m_db = nullptr;
    std::function<void()> m_letGo;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_size = 0;
    timespec m_modified{};
    std::optional<ino_t> m_logInode;
    int m_indexFd = -1;
    std::optional<QString> m_lost;
};

} // namespace taxvault
