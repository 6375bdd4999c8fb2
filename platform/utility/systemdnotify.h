#pragma once

#include <QString>

namespace systemdnotify {

// Tell the service manager how the service stands, so that "systemctl start"
// returns once it can take commands and fails when it cannot. Nothing happens
// when the process was not started by systemd ($NOTIFY_SOCKET unset).
void ready();
void stopping();
// A line for "systemctl status": why the service refuses its commands.
void status(const QString& text);

} // namespace systemdnotify
