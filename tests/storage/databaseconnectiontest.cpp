#include "storagetestsupport.h"

#include "storage/databaseconnection.h"
#include "storage/databasekey.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

namespace {

using taxvault::DatabaseConnection;
using storagetest::fileBytes;

QByteArray key()
{
    return QByteArray(taxvault::DatabaseKey::passphrase());
}

// A database file whose connection has committed rows that are still only in
// its write-ahead log, as the running service's are.
class WatchedFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static int serial = 0;
        directory = QDir(storagetest::dataDir()).filePath(QStringLiteral("watch-%1").arg(++serial));
        QDir().mkpath(directory);
        path = directory + QStringLiteral("/fr_9.db");
        {
            storagetest::RawDatabase raw(path, key());
            ASSERT_TRUE(raw.exec(QStringLiteral("PRAGMA journal_mode=WAL; CREATE TABLE t (n INTEGER); "
                                                "INSERT INTO t VALUES (1);")))
                << raw.error().toStdString();
        }
        olderCopy = fileBytes(path);
        connection = std::make_unique<DatabaseConnection>(path, QStringLiteral("watch-%1").arg(serial));
        ASSERT_TRUE(connection->open());
        DatabaseConnection::Transaction writes(*connection, DatabaseConnection::Sync::Synced);
        ASSERT_TRUE(connection->run(QStringLiteral("INSERT INTO t VALUES (2), (3)"), {}, false).success);
        ASSERT_TRUE(writes.commit());
        ASSERT_TRUE(QFile::exists(path + QStringLiteral("-wal")));
    }

    // Rows of t in the file at `file`, read by a connection of the test's own.
    static QList<QVariantList> rows(const QString& file)
    {
        storagetest::RawDatabase raw(file, key());
        return raw.rows(QStringLiteral("SELECT n FROM t ORDER BY n"));
    }

    QStringList filesBeside() const
    {
        return QDir(directory).entryList(QDir::Files, QDir::Name);
    }

    // What the connection refuses once the file has changed, each time the same.
    void expectRefused()
    {
        storagetest::LogCapture capture;
        EXPECT_FALSE(DatabaseConnection::Transaction(*connection, DatabaseConnection::Sync::Synced).isOpen());
        EXPECT_FALSE(connection->run(QStringLiteral("SELECT n FROM t"), {}, false).success);
        EXPECT_FALSE(connection->run(QStringLiteral("INSERT INTO t VALUES (4)"), {}, false).success);
        EXPECT_FALSE(connection->fileIsSound());
        EXPECT_FALSE(connection->open());
        log += capture.text();
    }

    QString directory;
    QString path;
    QByteArray olderCopy;
    std::unique_ptr<DatabaseConnection> connection;
    QString log;
};

TEST_F(WatchedFileTest, SoundFileIsCheckpointedAtCloseAsAlways)
{
    connection->close();
    connection.reset();
    EXPECT_FALSE(QFile::exists(path + QStringLiteral("-wal")));
    EXPECT_EQ(rows(path), (QList<QVariantList>{{1}, {2}, {3}}));
}

TEST_F(WatchedFileTest, ReplacedFileIsNeverWrittenAndWhatWasHeldIsWrittenOutBesideIt)
{
    const QString older = directory + QStringLiteral("/older.db");
    {
        QFile copy(older);
        ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
        copy.write(olderCopy);
    }
    ASSERT_EQ(::rename(QFile::encodeName(older).constData(), QFile::encodeName(path).constData()), 0);

    expectRefused();
    expectRefused();
    connection->close();
    connection.reset();

    EXPECT_EQ(fileBytes(path), olderCopy) << "the replacement is left as it was put there";
    EXPECT_EQ(rows(path), (QList<QVariantList>{{1}}));
    const QStringList saved = filesBeside().filter(QStringLiteral("fr_9.db.replaced-"));
    const QStringList logs = filesBeside().filter(QStringLiteral("fr_9.db-wal.replaced-"));
    ASSERT_EQ(saved.size(), 1) << filesBeside().join(u' ').toStdString();
    EXPECT_EQ(rows(directory + u'/' + saved.first()), (QList<QVariantList>{{1}, {2}, {3}}));
    EXPECT_FALSE(QFile::exists(path + QStringLiteral("-wal"))) << "no start may replay it into the new file";
    EXPECT_EQ(logs.size(), 1) << "the log is moved aside, not deleted";
    EXPECT_TRUE(log.contains(QStringLiteral("Файл базы данных %1 заменен другим файлом").arg(path)))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Записи замененного файла базы данных сохранены в %1/%2")
                                 .arg(directory, saved.first())))
        << log.toStdString();
}

// What the connection still reads whole is saved beside the file; the file
// itself, and its log, are never written.
TEST_F(WatchedFileTest, CutFileOrLostLogIsLeftAndWhatIsHeldIsSavedBesideIt)
{
    const struct
    {
        const char* name;
        std::function<void(const QString& path)> change;
        QString finding; // %1 the file
    } cases[] = {
        {"cut to nothing", [](const QString& p) { QFile::resize(p, 0); }, QStringLiteral("Файл базы данных %1 укорочен с ")},
        {"cut to half", [](const QString& p) { QFile::resize(p, QFileInfo(p).size() / 2); },
         QStringLiteral("Файл базы данных %1 укорочен с ")},
        {"log removed", [](const QString& p) { QFile::remove(p + QStringLiteral("-wal")); },
         QStringLiteral("Журнал %1-wal удален")},
        {"log replaced",
         [](const QString& p) {
             QFile other(p + QStringLiteral("-wal.other"));
             other.open(QIODevice::WriteOnly);
             other.write(QByteArray(4096, 'x'));
             other.close();
             std::rename(QFile::encodeName(other.fileName()).constData(),
                         QFile::encodeName(p + QStringLiteral("-wal")).constData());
         },
         QStringLiteral("Журнал %1-wal заменен другим файлом")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!connection)
            SetUp();
        c.change(path);
        const QByteArray file = fileBytes(path);
        const QByteArray wal = fileBytes(path + QStringLiteral("-wal"));

        expectRefused();
        connection->close();
        connection.reset();

        EXPECT_EQ(fileBytes(path), file) << "never checkpointed into";
        EXPECT_EQ(fileBytes(path + QStringLiteral("-wal")), wal);
        EXPECT_TRUE(log.contains(c.finding.arg(path))) << log.toStdString();
        const QStringList saved = filesBeside().filter(QStringLiteral("fr_9.db.replaced-"));
        ASSERT_EQ(saved.size(), 1) << filesBeside().join(u' ').toStdString();
        EXPECT_EQ(rows(directory + u'/' + saved.first()), (QList<QVariantList>{{1}, {2}, {3}}));
        EXPECT_TRUE(log.contains(QStringLiteral("Записи базы данных %1 сохранены в %2/%3")
                                     .arg(path, directory, saved.first())))
            << log.toStdString();
        log.clear();
    }
}

// An older copy written over the file in place keeps its inode and length;
// only the modification time tells, and the service's own checkpoints do not.
TEST_F(WatchedFileTest, FileWrittenInPlaceByAnotherProgramIsRefusedAndNoStartReplaysTheLogIntoIt)
{
    for (int i = 0; i < 3000; ++i)
        ASSERT_TRUE(connection->run(QStringLiteral("INSERT INTO t VALUES (%1)").arg(10 + i), {}, false).success);
    ASSERT_TRUE(connection->fileIsSound()) << "checkpoints of its own are no change";
    const QByteArray before = fileBytes(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.write(olderCopy);
    }
    const QByteArray written = fileBytes(path);
    ASSERT_NE(written, before);

    expectRefused();
    connection->close();
    connection.reset();

    EXPECT_EQ(fileBytes(path), written);
    EXPECT_TRUE(log.contains(QStringLiteral("Файл базы данных %1 изменен другой программой").arg(path)))
        << log.toStdString();
    EXPECT_FALSE(QFile::exists(path + QStringLiteral("-wal")));
    EXPECT_EQ(filesBeside().filter(QStringLiteral("fr_9.db-wal.replaced-")).size(), 1);
    EXPECT_TRUE(filesBeside().filter(QStringLiteral("fr_9.db.replaced-")).isEmpty())
        << "a file of two databases is no copy";
}

// An index the file system refuses to let anyone write would end the process
// with SIGBUS at the next write through its mapping.
TEST_F(WatchedFileTest, UnwritableIndexIsRefusedBeforeItIsTouched)
{
    const QByteArray index = QFile::encodeName(path + QStringLiteral("-shm"));
    const int fd = ::open(index.constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int flags = 0;
    const bool settable = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                          [&] {
                              int immutable = flags | FS_IMMUTABLE_FL;
                              return ::ioctl(fd, FS_IOC_SETFLAGS, &immutable) == 0;
                          }();
    if (!settable) {
        ::close(fd);
        GTEST_SKIP() << "this file system or user cannot make a file immutable";
    }
    expectRefused();
    connection->close();
    connection.reset();
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
    EXPECT_TRUE(log.contains(QStringLiteral("Файл %1-shm защищен от записи").arg(path))) << log.toStdString();
    EXPECT_EQ(rows(path), (QList<QVariantList>{{1}, {2}, {3}}))
        << "what was committed is still in the file and its log";
}

} // namespace
