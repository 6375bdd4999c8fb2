#pragma once

namespace Log4Qt {

enum class Level { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Off = 5 };

} // namespace Log4Qt
