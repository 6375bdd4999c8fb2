#include "utility/systemdnotify.h"

#include <systemd/sd-daemon.h>

namespace systemdnotify {

void ready()
{
    sd_notify(0, "READY=1");
}

void stopping()
{
    sd_notify(0, "STOPPING=1");
}

void status(const QString& text)
{
    // A newline would begin another assignment of the message.
    sd_notify(0, ("STATUS=" + QString(text).replace(u'\n', u' ').toUtf8()).constData());
}

} // namespace systemdnotify
