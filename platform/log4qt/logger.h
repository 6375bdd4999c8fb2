#pragma once

#include "log4qt/level.h"

#include <QByteArray>
#include <QString>

namespace Log4Qt {

// A named logger writing one line per message to standard error.
class Logger
{
public:
    static Logger* logger(const QString& name);

    QString name() const { return m_name; }
    bool isEnabledFor(Level level) const;

    void trace(const QString& message) const { log(Level::Trace, message); }
    void debug(const QString& message) const { log(Level::Debug, message); }
    void info(const QString& message) const { log(Level::Info, message); }
    void warn(const QString& message) const { log(Level::Warn, message); }
    void error(const QString& message) const { log(Level::Error, message); }
    void log(Level level, const QString& message) const;

private:
    explicit Logger(const QString& name) : m_name(name), m_nameUtf8(name.toUtf8()) {}
    QString m_name;
    QByteArray m_nameUtf8;
};

// While one lives on a thread, the lines that thread logs below warn are held
// and written in one go when the outermost one ends: a command logs dozens of
// lines, and each write costs a system call. A warn or error line writes what
// is held, then itself, at once. Other threads write as usual.
class LogBatch
{
public:
    LogBatch();
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;

    // Writes what the calling thread holds now: before it waits on something
    // slow, so that the log shows how far it got, or before a command is given up.
    // Allocates nothing, so it also works once memory has run out.
    static void flush();

    // Writes what every thread holds, with write(2) only: for a handler of a
    // fatal signal, when the process is about to end. Takes no lock, so it
    // works whatever the interrupted thread was doing.
    static void flushAllThreadsSignalSafe();
};

} // namespace Log4Qt
