#pragma once

#include <QString>

namespace taxvault {

// What one run of the tool prints and the exit code it ends with.
struct ParamsResult
{
    int code = 0;
    QString text;
};

} // namespace taxvault
