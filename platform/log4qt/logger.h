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

} // namespace Log4Qt
