#pragma once

#include "log4qt/level.h"

namespace Log4Qt {

class LogManager
{
public:
    // Routes qDebug/qWarning/... through the logger "Qt".
    static void setHandleQtMessages(bool handle);
    // Messages below the threshold are dropped. The start value comes from
    // $TAXVAULT_LOG_LEVEL (trace, debug, info, warn, error, off; default debug).
    static void setThreshold(Level level);
    static Level threshold();
};

} // namespace Log4Qt
