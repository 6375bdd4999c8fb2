#include "storage/databasefilewatch.h"

#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace taxvault {

namespace {

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

} // namespace

DatabaseFileWatch::~DatabaseFileWatch()
{
    stop();
}

void DatabaseFileWatch::watch(const QString& path)
{
    stop();
    struct stat st;
    if (::stat(nativePath(path).constData(), &st) != 0)
        return;
    m_path = path;
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_size = st.st_size;
    noteCompanions();
}

void DatabaseFileWatch::stop()
{
    if (m_indexFd >= 0)
        ::close(m_indexFd);
    m_indexFd = -1;
    m_logInode.reset();
    m_path.clear();
}

void DatabaseFileWatch::noteCompanions()
{
    if (m_path.isEmpty())
        return;
    if (!m_logInode) {
        struct stat st;
        if (::stat(nativePath(m_path + QStringLiteral("-wal")).constData(), &st) == 0)
            m_logInode = st.st_ino;
    }
    if (m_indexFd < 0)
        m_indexFd = ::open(nativePath(m_path + QStringLiteral("-shm")).constData(),
                           O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

std::optional<DatabaseFileWatch::Finding> DatabaseFileWatch::look()
{
    if (m_path.isEmpty())
        return std::nullopt;
    struct stat st;
    if (::stat(nativePath(m_path).constData(), &st) != 0)
        return Finding{Change::Replaced, QStringLiteral("Файл базы данных %1 удален").arg(m_path)};
    if (st.st_dev != m_device || st.st_ino != m_inode)
        return Finding{Change::Replaced, QStringLiteral("Файл базы данных %1 заменен другим файлом").arg(m_path)};
    if (st.st_size < m_size)
        return Finding{Change::Cut, QStringLiteral("Файл базы данных %1 укорочен с %2 до %3 байт")
                                        .arg(m_path)
                                        .arg(qint64(m_size))
                                        .arg(qint64(st.st_size))};
    noteCompanions();
    // Written through a shared mapping, an index the file system no longer lets
    // anyone write ends the process with SIGBUS instead of an error.
    int flags = 0;
    if (m_indexFd >= 0 && ::ioctl(m_indexFd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)))
        return Finding{Change::IndexUnwritable,
                       QStringLiteral("Файл %1-shm защищен от записи").arg(m_path)};
    m_size = st.st_size;
    return std::nullopt;
}

std::optional<QString> DatabaseFileWatch::moveOwnLogAside(const QString& suffix)
{
    const QString log = m_path + QStringLiteral("-wal");
    struct stat st;
    if (!m_logInode || ::stat(nativePath(log).constData(), &st) != 0 || st.st_ino != *m_logInode)
        return std::nullopt;
    const QString aside = log + suffix;
    if (std::rename(nativePath(log).constData(), nativePath(aside).constData()) != 0)
        return std::nullopt;
    return aside;
}

} // namespace taxvault
