#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>

namespace taxvault {

// The database file a connection opened, as it was at the last look: which
// file it is, how long it is, and the shared-memory index beside it. The
// connection keeps writing into the file it holds open, so a file replaced at
// the path, cut short, or whose index can no longer be written goes unnoticed
// by SQLite until the data is lost or the process is killed by a fault on the
// mapped index. One look is a stat of the path and a flag query of the index.
class DatabaseFileWatch
{
public:
    DatabaseFileWatch() = default;
    ~DatabaseFileWatch();
    DatabaseFileWatch(const DatabaseFileWatch&) = delete;
    DatabaseFileWatch& operator=(const DatabaseFileWatch&) = delete;

    enum class Change { Replaced, Cut, IndexUnwritable };
    struct Finding
    {
        Change change;
        // What the error line says of it.
        QString text;
    };

    // Takes the file now at `path` as the one the connection opened.
    void watch(const QString& path);
    void stop();

    // Nothing while the file is the one opened, no shorter than at the last
    // look, and its index writable; the length seen becomes the new least.
    std::optional<Finding> look();

    // After a replacement: moves the write-ahead log at the path aside when it
    // is the one written for the opened file, so that no start replays it into
    // the new file. The name it now has, or nothing when it was left.
    std::optional<QString> moveOwnLogAside(const QString& suffix);

    const QString& path() const { return m_path; }

    // Notes the log and the index beside the file, once they exist: the
    // connection makes them at its first read and first commit.
    void noteCompanions();

private:
    QString m_path;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    off_t m_size = 0;
    std::optional<ino_t> m_logInode;
    int m_indexFd = -1;
};

} // namespace taxvault
