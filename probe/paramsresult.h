#pragma once

#include <QByteArray>

namespace taxvault {

// What one run of the tool prints and the exit code it ends with. The text is
// held as the UTF-8 bytes written: a full fiscal memory is megabytes of it.
struct ParamsResult
{
    int code = 0;
    QByteArray text;
};

} // namespace taxvault
