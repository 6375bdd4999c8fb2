#include "storage/databasefilewatch.h"

#include "storage/databasekey.h"

#include "log4qt/logger.h"
#include "utility/systemdnotify.h"

#include <sqlcipher/sqlite3.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace taxvault {

namespace {

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

// Straight from the kernel: a preloaded clock (libfaketime) fakes the times
// the C library's stat() reports, and would move them with its clock.
bool statOf(const QString& path, struct stat& st)
{
    return ::syscall(SYS_newfstatat, AT_FDCWD, nativePath(path).constData(), &st, 0) == 0;
}

quint32 bigEndian(const uchar* p)
{
    return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
}

quint32 littleEndian(const uchar* p)
{
    return quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | quint32(p[0]);
}

// SQLite's running checksum of the log, over 8-byte steps.
void walChecksum(bool bigEndianWords, const uchar* data, qsizetype length, quint32& s1, quint32& s2)
{
    for (qsizetype i = 0; i + 8 <= length; i += 8) {
        const quint32 x0 = bigEndianWords ? bigEndian(data + i) : littleEndian(data + i);
        const quint32 x1 = bigEndianWords ? bigEndian(data + i + 4) : littleEndian(data + i + 4);
        s1 += x0 + s2;
        s2 += x1 + s1;
    }
}

// The least length the database file must have for the committed frames of
// its log to complete it, in bytes; 0 when the log shows none. A page that
// exists after the last commit but is written by none of the frames was in
// the file before the log began, and the file never shrinks under a log.
qint64 lengthTheLogNeeds(const QString& logPath)
{
    QFile log(logPath);
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray header = log.read(32);
    if (header.size() < 32)
        return 0;
    const auto* h = reinterpret_cast<const uchar*>(header.constData());
    const quint32 magic = bigEndian(h);
    const quint32 pageSize = bigEndian(h + 8);
    if ((magic & ~1u) != 0x377f0682u || pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)))
        return 0;
    const bool bigEndianWords = magic & 1u;
    quint32 s1 = 0;
    quint32 s2 = 0;
    walChecksum(bigEndianWords, h, 24, s1, s2);
    if (s1 != bigEndian(h + 24) || s2 != bigEndian(h + 28))
        return 0;

    std::vector<bool> written;
    std::vector<quint32> pending; // pages of the transaction not yet committed
    quint32 committedPages = 0;
    QByteArray frame(24 + qsizetype(pageSize), Qt::Uninitialized);
    while (log.read(frame.data(), frame.size()) == frame.size()) {
        const auto* f = reinterpret_cast<const uchar*>(frame.constData());
        if (std::memcmp(f + 8, h + 16, 8) != 0)
            break;
        walChecksum(bigEndianWords, f, 8, s1, s2);
        walChecksum(bigEndianWords, f + 24, pageSize, s1, s2);
        if (s1 != bigEndian(f + 16) || s2 != bigEndian(f + 20))
            break;
        pending.push_back(bigEndian(f));
        if (const quint32 pages = bigEndian(f + 4); pages != 0) {
            committedPages = pages;
            for (const quint32 page : pending) {
                if (page >= written.size())
                    written.resize(page + 1);
                written[page] = true;
            }
            pending.clear();
        }
    }
    // SQLite never writes the page holding the lock byte.
    const quint32 lockBytePage = 0x40000000u / pageSize + 1;
    for (quint32 page = committedPages; page >= 1; --page) {
        if (page != lockBytePage && (page >= written.size() || !written[page]))
            return qint64(page) * pageSize;
    }
    return 0;
}

// Writes the whole database `source` reads into a new file at `target`,
// encrypted like it, and reads the copy through; the failure, or nothing.
std::optional<QString> writeOut(sqlite3* source, const QString& target)
{
    sqlite3* copy = nullptr;
    int rc = sqlite3_open_v2(nativePath(target).constData(), &copy, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_key(copy, DatabaseKey::passphrase(), DatabaseKey::passphraseLength());
    if (rc == SQLITE_OK) {
        sqlite3_backup* backup = sqlite3_backup_init(copy, "main", source, "main");
        if (!backup) {
            rc = sqlite3_errcode(copy);
        } else {
            rc = sqlite3_backup_step(backup, -1);
            const int finished = sqlite3_backup_finish(backup);
            rc = rc == SQLITE_DONE ? finished : rc;
        }
    }
    std::optional<QString> failure;
    if (rc != SQLITE_OK)
        failure = QString::fromUtf8(copy ? sqlite3_errmsg(copy) : sqlite3_errstr(rc));
    // A page the source could no longer read comes out as zeros: such a copy
    // is no copy.
    if (!failure)
        failure = DatabaseFileWatch::damage(copy);
    sqlite3_close(copy);
    if (failure)
        QFile::remove(target);
    return failure;
}

} // namespace

DatabaseFileWatch::DatabaseFileWatch() : m_logger(Log4Qt::Logger::logger(QStringLiteral("dao"))) {}

DatabaseFileWatch::~DatabaseFileWatch()
{
    stop();
}

std::optional<QString> DatabaseFileWatch::startupFinding(const QString& path)
{
    const QFileInfo file(path);
    // The saved database first: it is what the engineer puts back.
    QStringList saved = file.dir().entryList({file.fileName() + QStringLiteral(".replaced-*")},
                                             QDir::Files | QDir::Hidden, QDir::Name);
    saved += file.dir().entryList({file.fileName() + QStringLiteral("?*.replaced-*")}, QDir::Files | QDir::Hidden,
                                  QDir::Name);
    if (!saved.isEmpty())
        return QStringLiteral("Рядом с файлом базы данных %1 лежит %2: записи прошлого запуска сохранены в нем")
            .arg(path, path + saved.first().mid(file.fileName().size()));
    struct stat st;
    const QString log = path + QStringLiteral("-wal");
    if (!statOf(path, st)) {
        for (const QString& companion : {log, path + QStringLiteral("-shm")}) {
            struct stat other;
            if (statOf(companion, other))
                return QStringLiteral("Файл базы данных %1 отсутствует, но рядом лежит %2").arg(path, companion);
        }
        return std::nullopt;
    }
    if (st.st_size == 0)
        return QStringLiteral("Файл базы данных %1 пуст (0 байт)").arg(path);
    if (const qint64 needed = lengthTheLogNeeds(log); st.st_size < needed)
        return QStringLiteral("Файл базы данных %1 короче (%2 байт), чем показывает его журнал %3 (не менее %4 байт)")
            .arg(path)
            .arg(qint64(st.st_size))
            .arg(log)
            .arg(needed);
    return std::nullopt;
}

std::optional<QString> DatabaseFileWatch::damage(sqlite3* db)
{
    sqlite3_stmt* check = nullptr;
    std::optional<QString> found;
    if (sqlite3_prepare_v2(db, "PRAGMA quick_check;", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        if (!text || std::strcmp(text, "ok") != 0)
            found = text ? QString::fromUtf8(text) : QStringLiteral("PRAGMA quick_check");
    } else {
        found = QString::fromUtf8(sqlite3_errmsg(db));
    }
    sqlite3_finalize(check);
    return found;
}

void DatabaseFileWatch::refuseStart(Log4Qt::Logger* logger, const QString& finding, sqlite3* db)
{
    logger->error(finding);
    logger->error(QStringLiteral("Сервис не запущен: файлы базы данных оставлены как есть"));
    systemdnotify::status(finding);
    if (db)
        keepAbandoned(db);
}

void DatabaseFileWatch::keepAbandoned(sqlite3* db)
{
    if (!db)
        return;
    // Reachable to the end, so that no leak check counts it.
    static QMutex mutex;
    static std::vector<sqlite3*> abandoned;
    QMutexLocker locker(&mutex);
    abandoned.push_back(db);
}

void DatabaseFileWatch::watch(const QString& path, sqlite3* db, std::function<void()> letGo)
{
    stop();
    struct stat st;
    if (!statOf(path, st))
        return;
    m_path = path;
    m_db = db;
    m_letGo = std::move(letGo);
    m_device = st.st_dev;
    m_inode = st.st_ino;
    m_size = st.st_size;
    m_modified = st.st_mtim;
    noteCompanions();
}

void DatabaseFileWatch::stop()
{
    if (m_indexFd >= 0)
        ::close(m_indexFd);
    m_indexFd = -1;
    m_logInode.reset();
    m_path.clear();
    m_db = nullptr;
    m_letGo = nullptr;
}

void DatabaseFileWatch::noteCompanions()
{
    if (m_path.isEmpty())
        return;
    if (!m_logInode) {
        struct stat st;
        if (statOf(m_path + QStringLiteral("-wal"), st))
            m_logInode = st.st_ino;
    }
    if (m_indexFd < 0)
        m_indexFd = ::open(nativePath(m_path + QStringLiteral("-shm")).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

void DatabaseFileWatch::noteOwnWrite()
{
    struct stat st;
    if (!m_path.isEmpty() && statOf(m_path, st) && st.st_ino == m_inode) {
        m_size = st.st_size;
        m_modified = st.st_mtim;
    }
}

bool DatabaseFileWatch::admits()
{
    if (m_lost)
        return false;
    if (const std::optional<Finding> finding = look()) {
        lose(*finding);
        return false;
    }
    return true;
}

bool DatabaseFileWatch::mayCheckpoint()
{
    return !m_lost && !look();
}

std::optional<DatabaseFileWatch::Finding> DatabaseFileWatch::look()
{
    if (m_path.isEmpty())
        return std::nullopt;
    struct stat st;
    if (!statOf(m_path, st))
        return Finding{Change::Replaced, QStringLiteral("Файл базы данных %1 удален").arg(m_path)};
    if (st.st_dev != m_device || st.st_ino != m_inode)
        return Finding{Change::Replaced, QStringLiteral("Файл базы данных %1 заменен другим файлом").arg(m_path)};
    if (st.st_size < m_size)
        return Finding{Change::Cut, QStringLiteral("Файл базы данных %1 укорочен с %2 до %3 байт")
                                        .arg(m_path)
                                        .arg(qint64(m_size))
                                        .arg(qint64(st.st_size))};
    // Only a checkpoint writes the file; the service notes its own.
    if (st.st_mtim.tv_sec != m_modified.tv_sec || st.st_mtim.tv_nsec != m_modified.tv_nsec)
        return Finding{Change::WrittenByOther,
                       QStringLiteral("Файл базы данных %1 изменен другой программой").arg(m_path)};
    if (m_logInode) {
        struct stat log;
        if (!statOf(m_path + QStringLiteral("-wal"), log))
            return Finding{Change::LogLost, QStringLiteral("Журнал %1-wal удален").arg(m_path)};
        if (log.st_ino != *m_logInode)
            return Finding{Change::LogLost, QStringLiteral("Журнал %1-wal заменен другим файлом").arg(m_path)};
    }
    noteCompanions();
    // Written through a shared mapping, an index the file system no longer lets
    // anyone write ends the process with SIGBUS instead of an error.
    int flags = 0;
    if (m_indexFd >= 0 && ::ioctl(m_indexFd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)))
        return Finding{Change::IndexUnwritable, QStringLiteral("Файл %1-shm защищен от записи").arg(m_path)};
    m_size = st.st_size;
    return std::nullopt;
}

void DatabaseFileWatch::lose(const Finding& finding)
{
    m_lost = finding.text;
    m_logger->error(finding.text);
    systemdnotify::status(finding.text);
    const QString suffix =
        QStringLiteral(".replaced-%1").arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss")));
    const QString copy = m_path + suffix;
    // What was acknowledged is whole only in what the connection still holds
    // open: written out beside the file before the connection lets it go. Over
    // a file another program wrote in place it would mix two databases.
    const bool heldWhole = finding.change == Change::Replaced || finding.change == Change::Cut ||
                           finding.change == Change::LogLost;
    if (heldWhole && m_db) {
        const bool replaced = finding.change == Change::Replaced;
        if (const std::optional<QString> failure = writeOut(m_db, copy))
            m_logger->error(QStringLiteral("Не удалось сохранить записи базы данных в %1: %2").arg(copy, *failure));
        else if (replaced)
            m_logger->error(QStringLiteral("Записи замененного файла базы данных сохранены в %1").arg(copy));
        else
            m_logger->error(QStringLiteral("Записи базы данных %1 сохранены в %2").arg(m_path, copy));
    }
    // Beside another file, the log would be replayed into it by the next start.
    if (finding.change == Change::Replaced || finding.change == Change::WrittenByOther) {
        if (const std::optional<QString> log = moveOwnLogAside(suffix))
            m_logger->error(QStringLiteral("Журнал замененного файла перенесен в %1").arg(*log));
    }
    if (m_letGo)
        m_letGo();
    stop();
}

std::optional<QString> DatabaseFileWatch::moveOwnLogAside(const QString& suffix)
{
    const QString log = m_path + QStringLiteral("-wal");
    struct stat st;
    if (!m_logInode || !statOf(log, st) || st.st_ino != *m_logInode)
        return std::nullopt;
    const QString aside = log + suffix;
    if (std::rename(nativePath(log).constData(), nativePath(aside).constData()) != 0)
        return std::nullopt;
    return aside;
}

} // namespace taxvault
