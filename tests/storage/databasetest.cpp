#include "storagetestsupport.h"

#include "storage/database.h"
#include "storage/databasekey.h"

#include "korvan/config.h"
#include "korvan/singleton.h"

#include <sqlcipher/sqlite3.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

using namespace storagetest;
using taxvault::Database;
using taxvault::DatabaseKey;

namespace {

const QString schemaQuery = QStringLiteral(
    "SELECT name, sql FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY name");

const QByteArray devicePassphrase("Rq8&uLx2");

QStringList lines(const QString& text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

class DatabaseInitTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { ensureRoot(); }

    // Each test works on a file of its own.
    QString freshFile(int deviceId)
    {
        useDevice(deviceId);
        const QString path = Database::dbFilePath();
        QFile::remove(path);
        return path;
    }

    void TearDown() override { QDir().mkpath(dataDir()); }
};

TEST_F(DatabaseInitTest, FileNameFollowsDeviceId)
{
    ensureRoot();
    const QString directory = dataDir(); // ends with a slash
    ASSERT_TRUE(directory.endsWith(QLatin1String("/tillbase/cash/data/taxvault/")));
    const struct
    {
        QVariant deviceId;
        QString fileName;
    } cases[] = {
        {17, QStringLiteral("fr_17.db")},
        {-5, QStringLiteral("fr_-5.db")},
        {0, QStringLiteral("fr_0.db")},
        {QVariant(), QStringLiteral("fr_0.db")}, // key missing
    };
    for (const auto& c : cases) {
        Singleton<Config>::instance()->setValue(QStringLiteral("KKM:deviceId"), c.deviceId);
        EXPECT_EQ(Database::dbFilePath(), directory + QLatin1Char('/') + c.fileName)
            << c.fileName.toStdString();
    }
}

TEST_F(DatabaseInitTest, FirstInitCreatesSchemaSecondChangesNothing)
{
    const QString path = freshFile(101);
    ASSERT_TRUE(Database().init());
    ASSERT_TRUE(QFileInfo::exists(path));

    const QList<QVariantList> expected = {
        {QStringLiteral("fiscalmemory"),
         QStringLiteral(
             "CREATE TABLE fiscalmemory (creationtime DATETIME NOT NULL DEFAULT (datetime(CURRENT_TIMESTAMP, "
             "'localtime')), shiftnum INTEGER, data JSON)")},
        {QStringLiteral("messages"),
         QStringLiteral(
             "CREATE TABLE messages (messageid INTEGER PRIMARY KEY AUTOINCREMENT, creationtime DATETIME NOT "
             "NULL DEFAULT (datetime(CURRENT_TIMESTAMP, 'localtime')), data JSON)")},
        {QStringLiteral("protectedcounters"),
         QStringLiteral("CREATE TABLE protectedcounters (creationtime DATETIME NOT NULL DEFAULT "
                        "(datetime(CURRENT_TIMESTAMP, 'localtime')), data JSON)")},
        {QStringLiteral("servicedata"),
         QStringLiteral(
             "CREATE TABLE servicedata (name VARCHAR(255), data JSON, UNIQUE(name) ON CONFLICT REPLACE)")},
        {QStringLiteral("shiftcounters"),
         QStringLiteral("CREATE TABLE shiftcounters (creationtime DATETIME NOT NULL DEFAULT "
                        "(datetime(CURRENT_TIMESTAMP, 'localtime')), data JSON)")},
        {QStringLiteral("status"),
         QStringLiteral("CREATE TABLE status (status INTEGER, UNIQUE(status) ON CONFLICT IGNORE)")},
        {QStringLiteral("version"),
         QStringLiteral("CREATE TABLE version (version INTEGER, UNIQUE(version) ON CONFLICT IGNORE)")},
    };
    {
        RawDatabase raw(path, devicePassphrase);
        EXPECT_EQ(raw.rows(schemaQuery), expected);
        EXPECT_EQ(raw.rows(QStringLiteral("SELECT version FROM version")), QList<QVariantList>{{1}});
        for (const char* table :
             {"shiftcounters", "fiscalmemory", "protectedcounters", "messages", "status", "servicedata"})
            EXPECT_TRUE(raw.rows(QStringLiteral("SELECT * FROM %1").arg(QLatin1String(table))).isEmpty())
                << table;
        ASSERT_TRUE(raw.exec(
            QStringLiteral("INSERT INTO servicedata(name, data) VALUES('transportdata', '{\"token\":5}');"
                           "INSERT INTO status(status, rowid) VALUES(2, 1);"
                           "INSERT INTO messages(data) VALUES('{\"command\":1}');")));
    }
    const QString rowsQuery =
        QStringLiteral("SELECT (SELECT group_concat(name || data) FROM servicedata), "
                       "(SELECT group_concat(status) FROM status), "
                       "(SELECT group_concat(messageid || creationtime || data) FROM messages)");
    QList<QVariantList> rowsBefore;
    {
        RawDatabase raw(path, devicePassphrase);
        rowsBefore = raw.rows(rowsQuery);
    }

    ASSERT_TRUE(Database().init());

    RawDatabase raw(path, devicePassphrase);
    EXPECT_EQ(raw.rows(schemaQuery), expected);
    EXPECT_EQ(raw.rows(QStringLiteral("SELECT version FROM version")), QList<QVariantList>{{1}});
    EXPECT_EQ(raw.rows(rowsQuery), rowsBefore);
    // Kept in the file: every later connection commits through the write-ahead log.
    EXPECT_EQ(raw.rows(QStringLiteral("PRAGMA journal_mode")), QList<QVariantList>{{QStringLiteral("wal")}});
}

TEST_F(DatabaseInitTest, WaitsForAFileAnotherProgramHoldsForAMoment)
{
    const struct
    {
        const char* name;
        bool existing; // false: a file in the old journal mode that start-up has not yet seen
    } cases[] = {{"existing database", true}, {"database not yet in log mode", false}};
    int deviceId = 140;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = freshFile(deviceId++);
        if (c.existing) {
            ASSERT_TRUE(Database().init());
        } else {
            RawDatabase raw(path, devicePassphrase);
            ASSERT_TRUE(raw.exec(
                QStringLiteral("CREATE TABLE status (status INTEGER, UNIQUE(status) ON "
                               "CONFLICT IGNORE); INSERT INTO status(status, rowid) VALUES(3, 1);")));
        }
        // The engineer's tool or a backup holds the write lock for a moment.
        RawDatabase holder(path, devicePassphrase);
        ASSERT_TRUE(
            holder.exec(QStringLiteral("BEGIN EXCLUSIVE; INSERT OR REPLACE INTO status(status, rowid) "
                                       "VALUES(2, 1);")))
            << holder.error().toStdString();
        std::thread release([&holder] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            EXPECT_TRUE(holder.exec(QStringLiteral("COMMIT")));
        });
        LogCapture capture;
        const bool initialised = Database().init();
        release.join();
        EXPECT_TRUE(initialised) << capture.text().toStdString();

        RawDatabase raw(path, devicePassphrase);
        EXPECT_EQ(raw.rows(QStringLiteral("SELECT status FROM status")), QList<QVariantList>{{2}});
        EXPECT_EQ(raw.rows(QStringLiteral("SELECT version FROM version")), QList<QVariantList>{{1}});
        EXPECT_EQ(raw.rows(QStringLiteral("PRAGMA journal_mode")),
                  QList<QVariantList>{{QStringLiteral("wal")}});
    }
}

TEST_F(DatabaseInitTest, LogsEveryStepInOrderAndNeverThePassphrase)
{
    freshFile(102);
    LogCapture capture;
    ASSERT_TRUE(Database().init());
    const QStringList logged = lines(capture.text());

    const QStringList expected = {
        QStringLiteral("INFO  .* database - Инициализация базы данных$"),
        QStringLiteral("INFO  .* database - Версия SQLCipher = \\d+\\.\\d+\\.\\d+"),
        QStringLiteral("DEBUG .* database - Создание таблицы счетчиков смены$"),
        QStringLiteral("DEBUG .* database - Создание таблицы фискальной памяти$"),
        QStringLiteral("DEBUG .* database - Создание таблицы необнуляемых сумм$"),
        QStringLiteral("DEBUG .* database - Создание таблицы очереди сообщений$"),
        QStringLiteral("DEBUG .* database - Создание таблицы версии базы данных$"),
        QStringLiteral("DEBUG .* database - Создание таблицы статуса сервиса$"),
        QStringLiteral("DEBUG .* database - Создание таблицы служебной информации$"),
    };
    ASSERT_EQ(logged.size(), expected.size()) << capture.text().toStdString();
    for (int i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(QRegularExpression(expected[i]).match(logged[i]).hasMatch()) << logged[i].toStdString();
    EXPECT_FALSE(capture.text().contains(QString::fromLatin1(devicePassphrase)));
}

TEST_F(DatabaseInitTest, RefusesFilesItCannotRead)
{
    const QString checkFailure = QStringLiteral(
        "ERROR .* database - Ошибка выполнения запроса: file is encrypted or is not a database\\. "
        "Запрос: SELECT count\\(\\*\\) FROM sqlite_master;$");
    const struct
    {
        const char* name;
        std::function<void(const QString&)> prepare;
    } cases[] = {
        {"another passphrase",
         [](const QString& path) {
             RawDatabase raw(path, "another1");
             ASSERT_TRUE(raw.exec(
                 QStringLiteral("CREATE TABLE status (status INTEGER); INSERT INTO status VALUES(3);")));
         }},
        {"plain SQLite",
         [](const QString& path) {
             RawDatabase raw(path, QByteArray());
             ASSERT_TRUE(raw.exec(
                 QStringLiteral("CREATE TABLE status (status INTEGER); INSERT INTO status VALUES(3);")));
         }},
        {"not a database",
         [](const QString& path) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(QByteArray(8192, 'x'));
         }},
    };
    int deviceId = 110;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = freshFile(deviceId++);
        c.prepare(path);
        const QByteArray before = fileBytes(path);

        LogCapture capture;
        EXPECT_FALSE(Database().init());
        const QString log = capture.text();

        EXPECT_TRUE(
            QRegularExpression(checkFailure, QRegularExpression::MultilineOption).match(log).hasMatch())
            << log.toStdString();
        EXPECT_FALSE(log.contains(QStringLiteral("Создание таблицы")));
        EXPECT_EQ(fileBytes(path), before);
    }
}

TEST_F(DatabaseInitTest, MissingDataDirectoryFailsAndStaysMissing)
{
    const QString path = freshFile(120);
    ASSERT_TRUE(QDir(dataDir()).removeRecursively());

    LogCapture capture;
    EXPECT_FALSE(Database().init());
    const QString log = capture.text();

    EXPECT_TRUE(log.contains(QStringLiteral("ERROR")));
    // The folder that is missing, as the system names it.
    EXPECT_TRUE(log.contains(QStringLiteral("database - Ошибка открытия базы данных: unable to open database file "
                                            "(%1: No such file or directory)\n")
                                 .arg(QDir::cleanPath(dataDir()))))
        << log.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dataDir()));
    EXPECT_FALSE(QFileInfo::exists(path));
}

// Fails the messages table the way a refused statement does.
class BrokenMessagesTable : public Database
{
public:
    bool createMessagesTable(sqlite3* db) override
    {
        return execSchemaStatement(QStringLiteral("CREATE TABLE messages ("), db);
    }
};

TEST_F(DatabaseInitTest, FailingTableStopsTheRest)
{
    const QString path = freshFile(130);
    LogCapture capture;
    EXPECT_FALSE(BrokenMessagesTable().init());
    const QString log = capture.text();

    // The generic text of the result code, not the connection's detailed message.
    const QString expected =
        QStringLiteral("database - Ошибка инициализации базы данных: %1. Запрос: CREATE TABLE messages (\n")
            .arg(QString::fromUtf8(sqlite3_errstr(SQLITE_ERROR)));
    EXPECT_TRUE(log.contains(expected)) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Создание таблицы версии базы данных")));

    RawDatabase raw(path, devicePassphrase);
    const QList<QVariantList> tables = raw.rows(QStringLiteral(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid"));
    EXPECT_EQ(tables, (QList<QVariantList>{{QStringLiteral("shiftcounters")},
                                           {QStringLiteral("fiscalmemory")},
                                           {QStringLiteral("protectedcounters")}}));
}

TEST(DatabaseKeyTest, MatchesTheKeyOfInstalledDevices)
{
    EXPECT_EQ(QByteArray(DatabaseKey::passphrase()), devicePassphrase);
    EXPECT_EQ(DatabaseKey::passphraseLength(), 8);
    EXPECT_EQ(DatabaseKey::keyStatement(), QStringLiteral("PRAGMA key='Rq8&uLx2';"));
}

} // namespace
