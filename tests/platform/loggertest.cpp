#include "log4qt/logger.h"
#include "log4qt/logmanager.h"

#include "capturedstderr.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(LoggerTest, WritesOneLineOfTimeLevelThreadNameAndMessage)
{
    const Log4Qt::Level saved = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Info);
    CapturedStderr captured;
    const QDateTime before = QDateTime::currentDateTime();
    Log4Qt::Logger::logger(QStringLiteral("журнал"))->info(QStringLiteral("Операция выполнена: 100%"));
    Log4Qt::Logger::logger(QStringLiteral("dao"))->error(QStringLiteral("Данные: {\"a\":1}"));
    Log4Qt::Logger::logger(QStringLiteral("dao"))->debug(QStringLiteral("dropped below the threshold"));
    const QDateTime after = QDateTime::currentDateTime();
    const QString text = QString::fromUtf8(captured.text());
    Log4Qt::LogManager::setThreshold(saved);

    const QString thread = QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16);
    const QStringList lines = text.split(u'\n');
    ASSERT_EQ(lines.size(), 3) << text.toStdString();
    EXPECT_EQ(lines.at(2), QString());
    const QString expected[] = {QStringLiteral("INFO  [%1] журнал - Операция выполнена: 100%").arg(thread),
                                QStringLiteral("ERROR [%1] dao - Данные: {\"a\":1}").arg(thread)};
    for (int i = 0; i < 2; ++i) {
        const QString line = lines.at(i);
        ASSERT_GT(line.size(), 24) << line.toStdString();
        EXPECT_EQ(line.mid(24), expected[i]) << line.toStdString();
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} $"))
                .match(line.left(24))
                .hasMatch())
            << line.toStdString();
        // Local time, to the millisecond, between the moments around the call.
        const QDateTime stamp =
            QDateTime::fromString(line.left(23), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
        ASSERT_TRUE(stamp.isValid()) << line.toStdString();
        EXPECT_GE(stamp, before) << line.toStdString();
        EXPECT_LE(stamp, after) << line.toStdString();
    }
}

TEST(LoggerTest, ControlCharactersAreEscapedAndFurtherLinesAreContinuations)
{
    struct Case
    {
        const char* name;
        QString message;
        QString written; // after " - ", up to the line's end
    };
    const Case cases[] = {
        {"NUL", QStringLiteral("a") + QChar(0) + QStringLiteral("<0>b"), QStringLiteral("a\\u0000<0>b")},
        {"CR, tab, escape, DEL", QStringLiteral("a\rb\tc\x1b[2Jd\x7f"),
         QStringLiteral("a\\u000db\\u0009c\\u001b[2Jd\\u007f")},
        {"C1 controls, not the characters after them", QStringLiteral("a\u0080b\u0085c\u009fd\u00a0e\u0430"),
         QStringLiteral("a\\u0080b\\u0085c\\u009fd\u00a0e\u0430")},
        {"a line break begins a continuation",
         QStringLiteral("команда\n2026-01-01 00:00:00.000 ERROR [1] Sender - forged\n"),
         QStringLiteral("команда\n    2026-01-01 00:00:00.000 ERROR [1] Sender - forged\n    ")},
        {"empty", QString(), QString()},
    };
    const Log4Qt::Level saved = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Info);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CapturedStderr captured;
        Log4Qt::Logger::logger(QStringLiteral("outside"))->info(c.message);
        const QByteArray text = captured.text();
        const qsizetype start = text.indexOf(" outside - ");
        ASSERT_GT(start, 0) << text.toStdString();
        EXPECT_EQ(QString::fromUtf8(text.mid(start + 11)), c.written + u'\n');
    }
    Log4Qt::LogManager::setThreshold(saved);
}

TEST(LoggerTest, BatchHoldsTheThreadsLinesUntilItEndsOrSomethingGoesWrong)
{
    const Log4Qt::Level saved = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Info);
    Log4Qt::Logger* logger = Log4Qt::Logger::logger(QStringLiteral("batch"));
    CapturedStderr captured;
    const auto written = [&captured]() {
        std::fflush(stderr);
        return QString::fromUtf8(captured.peek()).count(u'\n');
    };
    QStringList seen;
    {
        Log4Qt::LogBatch outer;
        logger->info(QStringLiteral("one"));
        {
            Log4Qt::LogBatch inner;
            logger->info(QStringLiteral("two"));
        }
        seen << QString::number(written()); // the inner end writes nothing
        logger->warn(QStringLiteral("three"));
        seen << QString::number(written()); // a warning writes what is held
        logger->info(QStringLiteral("four"));
        std::thread other([logger] { logger->info(QStringLiteral("other thread")); });
        other.join();
        seen << QString::number(written()); // other threads are not held
        Log4Qt::LogBatch::flush();
        seen << QString::number(written());
        logger->info(QStringLiteral("five"));
    }
    seen << QString::number(written());
    const QString text = QString::fromUtf8(captured.text());
    Log4Qt::LogManager::setThreshold(saved);

    EXPECT_EQ(seen, QStringList({"0", "3", "4", "5", "6"}));
    QStringList messages;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        messages << line.section(QStringLiteral(" - "), 1);
    EXPECT_EQ(messages, QStringList({"one", "two", "three", "other thread", "four", "five"}));
}

// Logs from the destructor of a thread-local object: the last thing a thread does.
struct LogsAtThreadEnd
{
    ~LogsAtThreadEnd()
    {
        Log4Qt::Logger::logger(QStringLiteral("batch"))->info(QStringLiteral("at the end"));
    }
};

TEST(LoggerTest, LineLoggedAsTheThreadEndsIsWritten)
{
    const Log4Qt::Level saved = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Info);
    CapturedStderr captured;
    std::thread([] {
        // Made before the logger's own thread storage, so destroyed after it.
        thread_local LogsAtThreadEnd last;
        (void)&last;
        Log4Qt::LogBatch batch;
        Log4Qt::Logger::logger(QStringLiteral("batch"))->info(QStringLiteral("in a batch"));
    }).join();
    const QString text = QString::fromUtf8(captured.text());
    Log4Qt::LogManager::setThreshold(saved);

    EXPECT_TRUE(text.contains(QStringLiteral("batch - in a batch\n"))) << text.toStdString();
    EXPECT_TRUE(text.endsWith(QStringLiteral("batch - at the end\n"))) << text.toStdString();
}

} // namespace

namespace {

TEST(LoggerTest, LinesBeyondWhatABatchHoldsKeepTheirOrder)
{
    const Log4Qt::Level saved = Log4Qt::LogManager::threshold();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Info);
    Log4Qt::Logger* logger = Log4Qt::Logger::logger(QStringLiteral("batch"));
    QStringList sent;
    CapturedStderr captured;
    {
        Log4Qt::LogBatch batch;
        // Many short lines fill the held buffer more than once, then one line
        // alone is longer than all it holds.
        sent << QStringLiteral("first");
        for (int i = 0; i < 100; ++i)
            sent << QStringLiteral("%1 ").arg(i, 4).append(QString(995, QLatin1Char('s')));
        sent << QString(70 * 1024, QLatin1Char('L')) << QStringLiteral("last");
        for (const QString& message : sent)
            logger->info(message);
    }
    const QString text = QString::fromUtf8(captured.text());
    Log4Qt::LogManager::setThreshold(saved);

    QStringList messages;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts))
        messages << line.section(QStringLiteral(" - "), 1);
    EXPECT_EQ(messages, sent);
}

// The logger as another process sees it: a child with its standard error in a
// file, started with the environment a test gives it.
class LoggerChildTest : public ::testing::Test
{
protected:
    struct End
    {
        int status = -1;
        QByteArray err;
    };

    static QByteArray streamIdOf(const QString& path)
    {
        struct stat info = {};
        EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
        return QByteArray::number(qulonglong(info.st_dev)) + ':' +
               QByteArray::number(qulonglong(info.st_ino));
    }

    QString errPath() const { return m_dir.filePath(QStringLiteral("stderr")); }
    QString otherPath() const { return m_dir.filePath(QStringLiteral("other")); }

    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        for (const QString& path : {errPath(), otherPath()}) {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
    }

    // journalStream: what $JOURNAL_STREAM holds; null leaves it unset.
    End run(const char* scenario, const QByteArray& journalStream)
    {
        std::vector<QByteArray> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            if (std::strncmp(*entry, "JOURNAL_STREAM=", 15) != 0)
                environment.emplace_back(*entry);
        }
        if (!journalStream.isNull())
            environment.push_back("JOURNAL_STREAM=" + journalStream);
        std::vector<char*> envp;
        for (QByteArray& entry : environment)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        char program[] = TV_LOGCHILD;
        QByteArray argument(scenario);
        char* argv[] = {program, argument.data(), nullptr};

        const QByteArray err = QFile::encodeName(errPath());
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.constData(), O_WRONLY | O_APPEND, 0);
        End end;
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, program, &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << program;
        if (rc == 0)
            EXPECT_EQ(::waitpid(pid, &end.status, 0), pid);
        QFile file(errPath());
        if (file.open(QIODevice::ReadOnly))
            end.err = file.readAll();
        return end;
    }

    QTemporaryDir m_dir;
};

TEST_F(LoggerChildTest, LinesBeginWithTheirPriorityOnlyWhenStandardErrorIsTheJournal)
{
    struct Case
    {
        const char* name;
        QByteArray stream;
        bool prefixed;
    };
    const Case cases[] = {
        {"names standard error", streamIdOf(errPath()), true},
        {"unset", QByteArray(), false},
        {"names another file", streamIdOf(otherPath()), false},
        {"not a device and inode", QByteArray("journal"), false},
    };
    // Priority, then the line as it is written without one.
    const QStringList expected[] = {
        {"<7>", "TRACE \\[[0-9a-f]+\\] child - trace line"},
        {"<7>", "DEBUG \\[[0-9a-f]+\\] child - debug line"},
        {"<6>", "INFO  \\[[0-9a-f]+\\] child - info line"},
        {"<4>", "WARN  \\[[0-9a-f]+\\] child - warn line"},
        {"<3>", "ERROR \\[[0-9a-f]+\\] child - error line"},
        {"<3>", ""},
    };
    const QString stamp = QStringLiteral("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(QFile::resize(errPath(), 0));
        const End end = run("every-level", c.stream);
        ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
        ASSERT_TRUE(end.err.endsWith('\n')) << end.err.toStdString();
        const QStringList lines = QString::fromUtf8(end.err.chopped(1)).split(u'\n');
        ASSERT_EQ(lines.size(), qsizetype(std::size(expected))) << end.err.toStdString();
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QString priority = c.prefixed ? expected[i].at(0) : QString();
            // The message's own second line follows as a continuation, with the priority of its first.
            const QString rest = expected[i].at(1).isEmpty() ? QStringLiteral("    its second line")
                                                             : stamp + expected[i].at(1);
            EXPECT_TRUE(QRegularExpression(QStringLiteral("^%1%2$").arg(priority, rest))
                            .match(lines.at(i))
                            .hasMatch())
                << lines.at(i).toStdString();
        }
    }
}

TEST_F(LoggerChildTest, JournalGetsALongLineInPiecesThatKeepItsPriorityAndCharacters)
{
    const End end = run("long-line", streamIdOf(errPath()));
    ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
    ASSERT_TRUE(end.err.endsWith('\n'));
    const QList<QByteArray> lines = end.err.chopped(1).split('\n');
    ASSERT_EQ(lines.size(), 4);
    QByteArray message;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        SCOPED_TRACE(i);
        // Well below the journal's own cut, so it never makes a record of its own.
        EXPECT_LE(line.size(), 17 * 1024);
        // Every piece is whole UTF-8 and under the message's priority.
        EXPECT_EQ(QString::fromUtf8(line).toUtf8(), line);
        if (i == 0) {
            ASSERT_TRUE(line.startsWith("<4>")) << line.left(80).toStdString();
            message = line.mid(line.indexOf(" child - ") + 9);
        } else {
            ASSERT_TRUE(line.startsWith("<4>    ")) << line.left(80).toStdString();
            message += line.mid(7);
        }
    }
    EXPECT_EQ(QString::fromUtf8(message),
              QStringLiteral("x") + QString(30000, QChar(0x0436)) + QStringLiteral("<0>end"));
}

TEST_F(LoggerChildTest, CrashWritesTheLinesEveryThreadHoldsAndEndsByTheSignal)
{
    struct Case
    {
        const char* scenario;
        int signal;
    };
    const Case cases[] = {{"abort", SIGABRT}, {"uncaught-exception", SIGABRT}, {"null-write", SIGSEGV}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.scenario);
        ASSERT_TRUE(QFile::resize(errPath(), 0));
        const End end = run(c.scenario, QByteArray());
        EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == c.signal) << end.status;
        const QString text = QString::fromUtf8(end.err);
        for (const char* line : {"child - held by the worker\n", "child - Отправка данных на сервер\n",
                                 "child - Данные отправлены\n"})
            EXPECT_TRUE(text.contains(QString::fromUtf8(line))) << line << "\n" << text.toStdString();
    }
}

} // namespace
