// A process for the logger tests that must end it or watch its standard error
// from outside: what it does is named by its one argument.
#include "log4qt/logger.h"
#include "log4qt/logmanager.h"
#include "utility/signalhandler.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace {

Log4Qt::Logger* logger()
{
    return Log4Qt::Logger::logger(QStringLiteral("child"));
}

void logEveryLevel()
{
    logger()->trace(QStringLiteral("trace line"));
    logger()->debug(QStringLiteral("debug line"));
    logger()->info(QStringLiteral("info line"));
    logger()->warn(QStringLiteral("warn line"));
    logger()->error(QStringLiteral("error line\nits second line"));
}

// Another thread holds a line in a batch of its own and stays there; then this
// thread holds one and fails as the scenario says.
[[noreturn]] void failInBatch(const char* how)
{
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    std::thread([&] {
        Log4Qt::LogBatch batch;
        logger()->info(QStringLiteral("held by the worker"));
        {
            std::lock_guard<std::mutex> lock(mutex);
            holding = true;
        }
        changed.notify_all();
        for (;;)
            ::pause();
    }).detach();
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return holding; });
    lock.unlock();

    Log4Qt::LogBatch batch;
    logger()->info(QStringLiteral("Отправка данных на сервер"));
    logger()->debug(QStringLiteral("Данные отправлены"));
    if (std::strcmp(how, "uncaught-exception") == 0)
        throw std::runtime_error("uncaught");
    if (std::strcmp(how, "null-write") == 0) {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
    std::abort();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    // A dying child leaves no core file behind; the signal it dies of stays the same.
    const rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    signalhandler::initFatalSignalHandlers();
    Log4Qt::LogManager::setThreshold(Log4Qt::Level::Trace);
    const char* scenario = argv[1];
    if (std::strcmp(scenario, "every-level") == 0) {
        logEveryLevel();
        return 0;
    }
    if (std::strcmp(scenario, "long-line") == 0) {
        // One byte ahead, so that a cut at a fixed size falls inside a character.
        logger()->warn(QStringLiteral("x") + QString(30000, QChar(0x0436)) + QStringLiteral("<0>end"));
        return 0;
    }
    failInBatch(scenario);
}
