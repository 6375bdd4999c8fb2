#pragma once

namespace signalhandler {

// SIGTERM and SIGINT quit the application's event loop, so that main can
// close the database in order. Needs a QCoreApplication.
void initSignalHandlers();

} // namespace signalhandler
