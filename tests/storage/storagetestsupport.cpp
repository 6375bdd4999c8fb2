#include "storagetestsupport.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logmanager.h"
#include "utility/paths.h"

#include <sqlcipher/sqlite3.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace storagetest {

QString ensureRoot()
{
    static const QString root = [] {
        static QTemporaryDir directory;
        const QString path = directory.path();
        qputenv("TAXVAULT_ROOT", path.toUtf8());
        QDir().mkpath(paths::dataDir());
        return path;
    }();
    return root;
}

QString dataDir()
{
    ensureRoot();
    return paths::dataDir();
}

void useDevice(int deviceId)
{
    Singleton<Config>::instance()->setValue(QStringLiteral("KKM:deviceId"), deviceId);
}

RawDatabase::RawDatabase(const QString& path, const QByteArray& key)
{
    if (sqlite3_open_v2(path.toUtf8().constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        ADD_FAILURE() << "cannot open " << path.toStdString() << ": " << m_error.toStdString();
        return;
    }
    sqlite3_busy_timeout(m_db, 10000);
    if (!key.isEmpty())
        sqlite3_key(m_db, key.constData(), int(key.size()));
}

RawDatabase::~RawDatabase()
{
    sqlite3_close(m_db);
}

bool RawDatabase::exec(const QString& statements)
{
    char* message = nullptr;
    const int rc = sqlite3_exec(m_db, statements.toUtf8().constData(), nullptr, nullptr, &message);
    m_error = message ? QString::fromUtf8(message) : QString();
    sqlite3_free(message);
    return rc == SQLITE_OK;
}

QList<QVariantList> RawDatabase::rows(const QString& query)
{
    QList<QVariantList> result;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, query.toUtf8().constData(), -1, &statement, nullptr) != SQLITE_OK) {
        m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
        ADD_FAILURE() << query.toStdString() << ": " << m_error.toStdString();
        return result;
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        QVariantList row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            switch (sqlite3_column_type(statement, i)) {
            case SQLITE_INTEGER:
                row << qlonglong(sqlite3_column_int64(statement, i));
                break;
            case SQLITE_FLOAT:
                row << sqlite3_column_double(statement, i);
                break;
            case SQLITE_NULL:
                row << QVariant();
                break;
            default:
                row << QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
                break;
            }
        }
        result << row;
    }
    sqlite3_finalize(statement);
    return result;
}

LogCapture::LogCapture() : m_threshold(int(Log4Qt::LogManager::threshold()))
{
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Trace);
    ::testing::internal::CaptureStderr();
}

LogCapture::~LogCapture()
{
    text();
}

QString LogCapture::text()
{
    if (!m_done) {
        m_done = true;
        m_text = QString::fromStdString(::testing::internal::GetCapturedStderr());
        Log4Qt::LogManager::setThreshold(Log4Qt::Level(m_threshold));
    }
    return m_text;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace storagetest
