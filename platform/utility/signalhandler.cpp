#include "utility/signalhandler.h"

#include "log4qt/logger.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace signalhandler {

namespace {

int pipeFds[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Only async-signal-safe work here: the event loop reads the pipe.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
}

constexpr int fatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int fatalSignalCount = int(sizeof fatalSignals / sizeof fatalSignals[0]);

// What each of them did before: the default, or a sanitizer's report.
struct sigaction previousActions[fatalSignalCount];

// Where the handler runs when the main thread's own stack is what overflowed.
alignas(16) char alternateStack[64 * 1024];

void onFatalSignal(int signal)
{
    // Two threads failing at once write the held lines once.
    static std::atomic_flag written = ATOMIC_FLAG_INIT;
    if (!written.test_and_set())
        Log4Qt::LogBatch::flushAllThreadsSignalSafe();
    // Raised again under its earlier action, the signal ends the process as
    // soon as this handler returns (it stays blocked until then).
    for (int i = 0; i < fatalSignalCount; ++i) {
        if (fatalSignals[i] == signal)
            ::sigaction(signal, &previousActions[i], nullptr);
    }
    ::raise(signal);
}

} // namespace

void initSignalHandlers()
{
    if (pipeFds[0] >= 0 || ::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, QCoreApplication::instance(), [] {
        char buffer[16];
        while (::read(pipeFds[0], buffer, sizeof(buffer)) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

void initFatalSignalHandlers()
{
    // Once only: a second time would keep this handler as its own earlier action.
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    stack_t stack = {};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    ::sigaltstack(&stack, nullptr);
    struct sigaction action = {};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_ONSTACK;
    for (int i = 0; i < fatalSignalCount; ++i)
        ::sigaction(fatalSignals[i], &action, &previousActions[i]);
}

void ignoreFileSizeLimitSignal()
{
    struct sigaction action = {};
    action.sa_handler = SIG_IGN;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGXFSZ, &action, nullptr);
}

} // namespace signalhandler
