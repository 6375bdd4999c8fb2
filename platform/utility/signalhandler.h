#pragma once

namespace signalhandler {

// SIGTERM and SIGINT quit the application's event loop, so that main can
// close the database in order. Needs a QCoreApplication.
void initSignalHandlers();

// On a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, so also an uncaught
// exception) the log lines every thread still holds are written, then the
// signal goes on as it would have without this handler: the same end, core and
// exit status. Call first thing in main, on the main thread.
void initFatalSignalHandlers();

// A write past the process's file-size limit fails with EFBIG instead of
// killing the process with SIGXFSZ, so it is handled like any failed write.
// Call first thing in main: it needs nothing else.
void ignoreFileSizeLimitSignal();

} // namespace signalhandler
