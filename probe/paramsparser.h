#pragma once

#include "probe/paramsresult.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

// Checks the access code, reads the command line and runs at most one command.
class ParamsParser
{
public:
    ParamsParser();

    ParamsResult execute(const QStringList& args);
    ParamsResult usage(const QString& message);

private:
    bool isAccessCode(const QString& code) const;
    bool hasDeviceId() const;
    ParamsResult repair(const std::function<QString()>& operation, const QString& failureText);
    ParamsResult unparsable();

    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
