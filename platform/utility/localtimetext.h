#pragma once

#include <QDateTime>
#include <QString>

namespace localtimetext {

// A local time stored as "yyyy-MM-dd hh:mm:ss", read exactly as
// QDateTime::fromString with that format reads it, whatever conversions the
// process made before. Qt's format parser costs more than the rest of a
// command's time check: the form is read by hand wherever the local time is
// unique, and by Qt near a clock change.
QDateTime read(const QString& text);

} // namespace localtimetext
