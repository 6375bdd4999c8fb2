#include "log4qt/logger.h"
#include "log4qt/logmanager.h"

#include <QHash>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace Log4Qt {

namespace {

Level levelFromEnvironment()
{
    const QString text = qEnvironmentVariable("TAXVAULT_LOG_LEVEL").trimmed().toLower();
    static const QHash<QString, Level> names = {
        {QStringLiteral("trace"), Level::Trace}, {QStringLiteral("debug"), Level::Debug},
        {QStringLiteral("info"), Level::Info},   {QStringLiteral("warn"), Level::Warn},
        {QStringLiteral("error"), Level::Error}, {QStringLiteral("off"), Level::Off}};
    return names.value(text, Level::Debug);
}

std::atomic<Level>& thresholdValue()
{
    static std::atomic<Level> value{levelFromEnvironment()};
    return value;
}

QMutex& registryMutex()
{
    static QMutex mutex;
    return mutex;
}

QMutex& outputMutex()
{
    static QMutex mutex;
    return mutex;
}

// How many LogBatch objects live on this thread, and the lines they hold. The
// lines are touched only while one lives: a line logged at the very end of the
// thread (static destruction) must not reach a buffer already destroyed.
thread_local int batchDepth = 0;
thread_local QByteArray heldLines;

// More than this is written at once even inside a batch.
constexpr qsizetype kMaxHeld = 64 * 1024;

void writeOut(const QByteArray& text)
{
    if (text.isEmpty())
        return;
    QMutexLocker locker(&outputMutex());
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stderr);
    std::fflush(stderr);
}

void writeHeld()
{
    writeOut(heldLines);
    heldLines.truncate(0); // keeps the buffer for the next lines
}

// "yyyy-MM-dd hh:mm:ss" of one second of local time; each thread keeps the
// last one, since a command logs dozens of lines within the same second.
struct Stamp
{
    time_t second = -1;
    char text[48];
    int size = 0;
};

const Stamp& stampOf(time_t second)
{
    thread_local Stamp stamp;
    if (stamp.second != second) {
        tm local{};
        localtime_r(&second, &local);
        stamp.size = std::snprintf(stamp.text, sizeof stamp.text, "%04d-%02d-%02d %02d:%02d:%02d",
                                   local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                   local.tm_min, local.tm_sec);
        stamp.second = second;
    }
    return stamp;
}

// "[thread] ", the thread's id in hex, made once per thread. A plain buffer:
// it stays readable as long as the thread logs.
struct ThreadTag
{
    char text[32];
    int size = 0;
};

const ThreadTag& threadTag()
{
    thread_local ThreadTag tag;
    if (tag.size == 0)
        tag.size = std::snprintf(
            tag.text, sizeof tag.text, "[%llx] ",
            static_cast<unsigned long long>(reinterpret_cast<quintptr>(QThread::currentThreadId())));
    return tag;
}

const char* levelName(Level level)
{
    switch (level) {
    case Level::Trace:
        return "TRACE";
    case Level::Debug:
        return "DEBUG";
    case Level::Info:
        return "INFO ";
    case Level::Warn:
        return "WARN ";
    case Level::Error:
        return "ERROR";
    case Level::Off:
        break;
    }
    return "?    ";
}

void handleQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    Level level = Level::Debug;
    switch (type) {
    case QtDebugMsg:
        level = Level::Debug;
        break;
    case QtInfoMsg:
        level = Level::Info;
        break;
    case QtWarningMsg:
        level = Level::Warn;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        level = Level::Error;
        break;
    }
    Logger::logger(QStringLiteral("Qt"))->log(level, message);
}

} // namespace

Logger* Logger::logger(const QString& name)
{
    QMutexLocker locker(&registryMutex());
    // Loggers live as long as the process: worker threads may log during shutdown.
    static auto* loggers = new QHash<QString, Logger*>();
    Logger*& entry = (*loggers)[name];
    if (!entry)
        entry = new Logger(name);
    return entry;
}

bool Logger::isEnabledFor(Level level) const
{
    return level != Level::Off && level >= thresholdValue().load();
}

void Logger::log(Level level, const QString& message) const
{
    if (!isEnabledFor(level))
        return;
    // "yyyy-MM-dd hh:mm:ss.zzz LEVEL [thread] name - message": formatted by hand
    // and written at once, since every command logs dozens of lines.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const Stamp& stamp = stampOf(now.tv_sec);
    const int milliseconds = int(now.tv_nsec / 1000000);
    const char fraction[] = {'.', char('0' + milliseconds / 100), char('0' + milliseconds / 10 % 10),
                             char('0' + milliseconds % 10), ' '};
    const QByteArray text = message.toUtf8();
    const ThreadTag& thread = threadTag();
    const auto appendTo = [&](QByteArray& out) {
        out.reserve(out.size() + stamp.size + qsizetype(sizeof fraction) + 6 + thread.size +
                    m_nameUtf8.size() + 3 + text.size() + 1);
        out.append(stamp.text, stamp.size)
            .append(fraction, sizeof fraction)
            .append(levelName(level), 5)
            .append(' ')
            .append(thread.text, thread.size)
            .append(m_nameUtf8)
            .append(" - ", 3)
            .append(text)
            .append('\n');
    };
    if (batchDepth == 0) {
        QByteArray line;
        appendTo(line);
        writeOut(line);
        return;
    }
    appendTo(heldLines);
    if (level >= Level::Warn || heldLines.size() >= kMaxHeld)
        writeHeld();
}

LogBatch::LogBatch()
{
    ++batchDepth;
}

LogBatch::~LogBatch()
{
    if (--batchDepth == 0)
        writeHeld();
}

void LogBatch::flush()
{
    // Outside a batch nothing is held.
    if (batchDepth > 0)
        writeHeld();
}

void LogManager::setHandleQtMessages(bool handle)
{
    qInstallMessageHandler(handle ? handleQtMessage : nullptr);
}

void LogManager::setThreshold(Level level)
{
    thresholdValue().store(level);
}

Level LogManager::threshold()
{
    return thresholdValue().load();
}

} // namespace Log4Qt
