#include "waitingthread.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <thread>

#include <unistd.h>

namespace taxvault::testing {

namespace {

// The state letter of /proc/self/task/<id>/stat: 'S' while blocked on a futex.
char stateOf(pid_t thread)
{
    QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(thread));
    if (!stat.open(QIODevice::ReadOnly))
        return '?';
    const QByteArray line = stat.readAll();
    // The name in parentheses may hold blanks; the state follows its end.
    const qsizetype end = line.lastIndexOf(')');
    return end >= 0 && end + 2 < line.size() ? line.at(end + 2) : '?';
}

} // namespace

void WaitingThread::arrive()
{
    m_thread = gettid();
}

bool WaitingThread::waitsUnless(const std::atomic<bool>& done) const
{
    for (;;) {
        if (done)
            return false;
        const pid_t thread = m_thread;
        if (thread != 0 && stateOf(thread) == 'S')
            return !done;
        std::this_thread::yield();
    }
}

} // namespace taxvault::testing
