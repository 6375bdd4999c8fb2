#include "storage/database.h"
#include "storage/databasefilewatch.h"
#include "storage/databasekey.h"

#include "korvan/config.h"
#include "korvan/singleton.h"

#include "log4qt/logger.h"
#include "utility/foldersync.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlcipher/sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace taxvault {

namespace {

QString errorText(int code)
{
    return QString::fromUtf8(sqlite3_errstr(code));
}

// The path and what the system says to opening it for writing, or to making it
// in its folder: SQLite's own text names neither.
QString whyNotWritable(const QString& path)
{
    const QString file = QDir::cleanPath(path);
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return file;
    }
    if (errno != ENOENT)
        return QStringLiteral("%1: %2").arg(file, qt_error_string(errno));
    const QString folder = QFileInfo(file).path();
    if (::faccessat(AT_FDCWD, QFile::encodeName(folder).constData(), W_OK | X_OK, AT_EACCESS) != 0)
        return QStringLiteral("%1: %2").arg(folder, qt_error_string(errno));
    return file;
}

const char* const checkStatement = "SELECT count(*) FROM sqlite_master;";
const char* const versionStatement = "PRAGMA cipher_version;";
const char* const journalStatement = "PRAGMA journal_mode=WAL;";

// Like the data-access connection: the engineer's tool or a backup may hold the file for a moment.
const int busyTimeoutMs = 5000;

} // namespace

Database::Database() : m_logger(Log4Qt::Logger::logger(QStringLiteral("database"))) {}

Database::~Database() = default;

bool Database::init()
{
    m_logger->info(QStringLiteral("Инициализация базы данных"));

    const QString path = dbFilePath();
    if (const std::optional<QString> finding = DatabaseFileWatch::startupFinding(path)) {
        DatabaseFileWatch::refuseStart(m_logger, *finding);
        return false;
    }
    // A new file is made under another name and put in place whole: an empty
    // file at the path is then always one that was cut.
    const bool fresh = !QFileInfo::exists(path);
    const QString target = fresh ? path + QStringLiteral(".new") : path;
    if (fresh) {
        warnIfTillWorkedBefore(path);
        for (const QString& leftover : {target, target + QStringLiteral("-wal"), target + QStringLiteral("-shm"),
                                        target + QStringLiteral("-journal")})
            QFile::remove(leftover);
    }

    // A file in log mode read without a log makes an empty one and its index.
    const QString log = path + QStringLiteral("-wal");
    const QString index = path + QStringLiteral("-shm");
    const bool logThere = QFileInfo::exists(log);
    const bool indexThere = QFileInfo::exists(index);

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(target.toUtf8().constData(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    // SQLite falls back to reading a file it may not write; every start writes.
    if (rc == SQLITE_OK && sqlite3_db_readonly(db, "main") == 1)
        rc = SQLITE_READONLY;
    if (rc != SQLITE_OK) {
        m_logger->error(QStringLiteral("Ошибка открытия базы данных: %1 (%2)")
                            .arg(errorText(rc), whyNotWritable(path)));
        // SQLite hands out a handle even when opening fails; it must be released.
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, busyTimeoutMs);

    rc = sqlite3_key(db, DatabaseKey::passphrase(), DatabaseKey::passphraseLength());
    if (rc != SQLITE_OK) {
        m_logger->error(QStringLiteral("Ошибка корректности пароля: %1").arg(errorText(rc)));
        sqlite3_close(db);
        return false;
    }
    // Once it has read the file, a connection closed would checkpoint the log
    // into it; one that failed on an existing file is let go instead.
    const auto release = [fresh](sqlite3* handle) {
        if (fresh)
            sqlite3_close(handle);
        else
            DatabaseFileWatch::keepAbandoned(handle);
    };
    // The first read of the file is where a wrong passphrase shows.
    rc = sqlite3_exec(db, checkStatement, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        m_logger->error(QStringLiteral("Ошибка выполнения запроса: %1. Запрос: %2")
                            .arg(errorText(rc), QString::fromUtf8(checkStatement)));
        release(db);
        return false;
    }

    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(db, versionStatement, -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
        m_logger->error(QStringLiteral("Ошибка подготовки запроса: %1. Запрос: %2")
                            .arg(errorText(rc), QString::fromUtf8(versionStatement)));
        release(db);
        return false;
    }
    bool versionRead = false;
    if (sqlite3_step(statement) != SQLITE_ROW) {
        m_logger->error(QStringLiteral("Запрос не вернул результат"));
    } else if (const unsigned char* version = sqlite3_column_text(statement, 0); !version) {
        m_logger->error(QStringLiteral("Не удалось получить версию базы данных"));
    } else {
        m_logger->info(QStringLiteral("Версия SQLCipher = %1")
                           .arg(QString::fromUtf8(reinterpret_cast<const char*>(version))));
        versionRead = true;
    }
    sqlite3_finalize(statement);
    if (!versionRead) {
        release(db);
        return false;
    }

    // Closed, the connection would checkpoint the log into a damaged file.
    if (const std::optional<QString> damage = fresh ? std::nullopt : DatabaseFileWatch::damage(db)) {
        DatabaseFileWatch::refuseStart(m_logger, QStringLiteral("Файл базы данных %1 поврежден: %2").arg(path, *damage),
                                       db);
        // What this start made holds nothing: the files are left as they were found.
        if (!logThere && QFileInfo(log).size() == 0)
            QFile::remove(log);
        if (!indexThere)
            QFile::remove(index);
        return false;
    }

    useWriteAheadLog(db);

    // A failing table operation has already closed the connection.
    const bool created = createShiftCountersTable(db) && createFiscalMemoryTable(db) &&
                         createProtectedCountersTable(db) && createMessagesTable(db) && createVersionTable(db) &&
                         createStatusTable(db) && createServiceDataTable(db);
    if (created)
        sqlite3_close(db);
    // The tables made before a failing one stay, as in a file opened in place.
    if (fresh && !putInPlace(target, path))
        return false;
    return created;
}

void Database::warnIfTillWorkedBefore(const QString& path)
{
    // A first start and a lost file look alike here; only the configuration
    // remembers that the till has exchanged with the operator before.
    Config* config = Singleton<Config>::instance();
    const int token = config->getInt(QStringLiteral("KKM:token"), 0);
    const int packageNumber = config->getInt(QStringLiteral("KKM:packageNumber"), 0);
    if (token != 0 || packageNumber != 0)
        m_logger->error(QStringLiteral("Файл базы данных %1 создается заново, хотя касса уже работала "
                                       "(KKM:token = %2, KKM:packageNumber = %3): если файл был потерян, "
                                       "остановите сервис и восстановите его из копии")
                            .arg(path)
                            .arg(token)
                            .arg(packageNumber));
}

bool Database::putInPlace(const QString& made, const QString& path)
{
    // Nothing written: no file is better than an empty one, which reads as cut.
    if (QFileInfo(made).size() == 0) {
        QFile::remove(made);
        return true;
    }
    if (std::rename(QFile::encodeName(made).constData(), QFile::encodeName(path).constData()) != 0) {
        m_logger->error(QStringLiteral("Ошибка открытия базы данных: %1").arg(qt_error_string(errno)));
        return false;
    }
    // The new name is on the disk before the first command is taken.
    foldersync::syncFolderOf(path);
    return true;
}

void Database::useWriteAheadLog(sqlite3* db)
{
    // The mode is kept in the file, so this changes something only on the
    // first start. With the log a commit costs one sync, and readers (the
    // engineer's tool) and the writer never wait for each other. Without it
    // the rollback journal is just as safe, only slower: start-up goes on.
    sqlite3_stmt* statement = nullptr;
    QString mode;
    int rc = sqlite3_prepare_v2(db, journalStatement, -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            if (const unsigned char* text = sqlite3_column_text(statement, 0))
                mode = QString::fromUtf8(reinterpret_cast<const char*>(text));
            rc = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    if (mode.compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0)
        return;
    m_logger->warn(QStringLiteral("Не удалось включить журнал упреждающей записи: %1")
                       .arg(rc == SQLITE_OK ? mode : errorText(rc)));
}

bool Database::createShiftCountersTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы счетчиков смены"));
    return execSchemaStatement(
        QStringLiteral("CREATE TABLE IF NOT EXISTS shiftcounters (creationtime DATETIME NOT NULL DEFAULT "
                       "(datetime(CURRENT_TIMESTAMP, 'localtime')), data JSON)"),
        db);
}

bool Database::createFiscalMemoryTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы фискальной памяти"));
    return execSchemaStatement(
        QStringLiteral("CREATE TABLE IF NOT EXISTS fiscalmemory (creationtime DATETIME NOT NULL DEFAULT "
                       "(datetime(CURRENT_TIMESTAMP, 'localtime')), shiftnum INTEGER, data JSON)"),
        db);
}

bool Database::createProtectedCountersTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы необнуляемых сумм"));
    return execSchemaStatement(
        QStringLiteral("CREATE TABLE IF NOT EXISTS protectedcounters (creationtime DATETIME NOT NULL DEFAULT "
                       "(datetime(CURRENT_TIMESTAMP, 'localtime')), data JSON)"),
        db);
}

bool Database::createMessagesTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы очереди сообщений"));
    return execSchemaStatement(
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS messages (messageid INTEGER PRIMARY KEY AUTOINCREMENT, "
            "creationtime DATETIME NOT NULL DEFAULT (datetime(CURRENT_TIMESTAMP, 'localtime')), data JSON)"),
        db);
}

bool Database::createVersionTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы версии базы данных"));
    // Runs at every start; the conflict clause keeps the single row.
    return execSchemaStatement(
        QStringLiteral("CREATE TABLE IF NOT EXISTS version (version INTEGER, UNIQUE(version) "
                       "ON CONFLICT IGNORE);INSERT INTO version(version) VALUES(1);"),
        db);
}

bool Database::createStatusTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы статуса сервиса"));
    return execSchemaStatement(
        QStringLiteral(
            "CREATE TABLE IF NOT EXISTS status (status INTEGER, UNIQUE(status) ON CONFLICT IGNORE);"),
        db);
}

bool Database::createServiceDataTable(sqlite3* db)
{
    m_logger->debug(QStringLiteral("Создание таблицы служебной информации"));
    return execSchemaStatement(
        QStringLiteral("CREATE TABLE IF NOT EXISTS servicedata (name VARCHAR(255), data JSON, "
                       "UNIQUE(name) ON CONFLICT REPLACE);"),
        db);
}

bool Database::execSchemaStatement(const QString& statement, sqlite3* db)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(db, statement.toUtf8().constData(), nullptr, nullptr, &message);
    if (rc == SQLITE_OK)
        return true;
    m_logger->error(
        QStringLiteral("Ошибка инициализации базы данных: %1. Запрос: %2").arg(errorText(rc), statement));
    sqlite3_free(message);
    sqlite3_close(db);
    return false;
}

} // namespace taxvault
