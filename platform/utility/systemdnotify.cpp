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

} // namespace systemdnotify
