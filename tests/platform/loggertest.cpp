#include "log4qt/logger.h"
#include "log4qt/logmanager.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace {

// What the loggers write to standard error while it is alive.
class CapturedStderr
{
public:
    CapturedStderr()
    {
        m_file.open();
        std::fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(m_file.handle(), STDERR_FILENO);
    }
    ~CapturedStderr() { restore(); }

    // What has been written so far, capture going on.
    QByteArray peek()
    {
        QFile file(m_file.fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

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
