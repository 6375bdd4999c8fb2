#include "utility/localzone.h"

#include <QByteArray>
#include <QtGlobal>

namespace localzone {

void readOnce()
{
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
}

} // namespace localzone
