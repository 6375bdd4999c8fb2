#include "log4qt/logger.h"
#include "log4qt/logmanager.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <cstdio>

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
    const QByteArray line = QStringLiteral("%1 %2 [%3] %4 - %5\n")
                                .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")),
                                     QString::fromLatin1(levelName(level)),
                                     QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()), 16),
                                     m_name, message)
                                .toUtf8();
    QMutexLocker locker(&outputMutex());
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
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
