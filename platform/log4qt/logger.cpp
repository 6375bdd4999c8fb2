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
    static const QHash<QString, Level> names = {{QStringLiteral("trace"), Level::Trace},
                                                {QStringLiteral("debug"), Level::Debug},
                                                {QStringLiteral("info"), Level::Info},
                                                {QStringLiteral("warn"), Level::Warn},
                                                {QStringLiteral("error"), Level::Error},
                                                {QStringLiteral("off"), Level::Off}};
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

// The lines a thread holds while a LogBatch lives on it.
struct HeldLines
{
    int depth = 0;
    QByteArray text;
};

thread_local HeldLines held;

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

const char* levelName(Level level)
{
    switch (level) {
    case Level::Trace: return "TRACE";
    case Level::Debug: return "DEBUG";
    case Level::Info: return "INFO ";
    case Level::Warn: return "WARN ";
    case Level::Error: return "ERROR";
    case Level::Off: break;
    }
    return "?    ";
}

void handleQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    Level level = Level::Debug;
    switch (type) {
    case QtDebugMsg: level = Level::Debug; break;
    case QtInfoMsg: level = Level::Info; break;
    case QtWarningMsg: level = Level::Warn; break;
    case QtCriticalMsg:
    case QtFatalMsg: level = Level::Error; break;
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
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char prefix[96];
    const int prefixSize = std::snprintf(
        prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d %s [%llx] ", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
        int(now.tv_nsec / 1000000), levelName(level),
        static_cast<unsigned long long>(reinterpret_cast<quintptr>(QThread::currentThreadId())));
    const QByteArray text = message.toUtf8();
    QByteArray& line = held.text;
    line.reserve(line.size() + prefixSize + m_nameUtf8.size() + 3 + text.size() + 1);
    line.append(prefix, prefixSize).append(m_nameUtf8).append(" - ", 3).append(text).append('\n');
    if (held.depth > 0 && level < Level::Warn && line.size() < kMaxHeld)
        return;
    LogBatch::flush();
}

LogBatch::LogBatch()
{
    ++held.depth;
}

LogBatch::~LogBatch()
{
    if (--held.depth == 0)
        flush();
}

void LogBatch::flush()
{
    writeOut(held.text);
    held.text.truncate(0); // keeps the buffer for the next lines
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
