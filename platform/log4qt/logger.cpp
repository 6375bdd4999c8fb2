#include "log4qt/logger.h"
#include "log4qt/logmanager.h"

#include <QHash>
#include <QMutex>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

namespace Log4Qt {

namespace {

Level levelFromEnvironment()
{
    const QString text = qEnvironmentVariable("TAXVAULT_LOG_LEVEL").trimmed().toLower();
    static const QHash<QString, Level> names = {
        {QStringLiteral("trace"), Level::Trace}, {QStringLiteral("debug"), Level::Debug},
        {QStringLiteral("info"), Level::Info},   {QStringLiteral("warn"), Level::Warn},
        {QStringLiteral("error"), Level::Error}, {QStringLiteral("off"), Level::Off}};
    return names.value(text, Level::Debug);
}

std::atomic<Level>& thresholdValue()
{
    static std::atomic<Level> value{levelFromEnvironment()};
    return value;
}

QMutex& registryMutex()
{
    static QMutex mutex;
    return mutex;
}

QMutex& outputMutex()
{
    static QMutex mutex;
    return mutex;
}

// Lines held inside a batch wait in one of these buffers. They are claimed
// for a batch and given back at its end, but never freed, so that a handler of
// a fatal signal can write what every thread holds without a lock and without
// reading memory that is gone.
constexpr size_t kHeldCapacity = 64 * 1024; // more than this is written at once even inside a batch
constexpr int kHeldSlots = 64;              // batches at the same time; any further one holds nothing

struct HeldSlot
{
    std::atomic<bool> taken{false};
    std::atomic<char*> bytes{nullptr}; // kHeldCapacity bytes, made with the slot's first claim
    std::atomic<size_t> size{0};       // published after the bytes are in place
};

HeldSlot heldSlots[kHeldSlots];

HeldSlot* claimHeldSlot()
{
    for (HeldSlot& slot : heldSlots) {
        if (slot.taken.exchange(true, std::memory_order_acquire))
            continue;
        if (slot.bytes.load(std::memory_order_relaxed) == nullptr) {
            char* bytes = new (std::nothrow) char[kHeldCapacity];
            if (bytes == nullptr) {
                slot.taken.store(false, std::memory_order_release);
                return nullptr;
            }
            slot.bytes.store(bytes, std::memory_order_release);
        }
        slot.size.store(0, std::memory_order_release);
        return &slot;
    }
    return nullptr;
}

// How many LogBatch objects live on this thread, and where their lines wait
// (null outside a batch, or when no buffer was free: the lines go out at once).
thread_local int batchDepth = 0;
thread_local HeldSlot* heldSlot = nullptr;

void writeOut(const char* text, size_t size)
{
    if (size == 0)
        return;
    QMutexLocker locker(&outputMutex());
    std::fwrite(text, 1, size, stderr);
    std::fflush(stderr);
}

void writeHeld(HeldSlot& slot)
{
    writeOut(slot.bytes.load(std::memory_order_relaxed), slot.size.load(std::memory_order_relaxed));
    slot.size.store(0, std::memory_order_release);
}

// Under systemd, standard error may be a stream into the journal; its device
// and inode are then in $JOURNAL_STREAM. A child whose standard error went
// elsewhere inherits the variable, hence the comparison with descriptor 2.
bool stderrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    struct stat info = {};
    return deviceOk && inodeOk && ::fstat(STDERR_FILENO, &info) == 0 &&
           static_cast<qulonglong>(info.st_dev) == device && static_cast<qulonglong>(info.st_ino) == inode;
}

bool journalPrefixes()
{
    static const bool journal = stderrIsJournal();
    return journal;
}

// The syslog priority the journal files a line under when it begins with it.
const char* journalPrefix(Level level)
{
    switch (level) {
    case Level::Error:
        return "<3>";
    case Level::Warn:
        return "<4>";
    case Level::Info:
        return "<6>";
    case Level::Trace:
    case Level::Debug:
    case Level::Off:
        break;
    }
    return "<7>";
}

// "yyyy-MM-dd hh:mm:ss" of one second of local time; each thread keeps the
// last one, since a command logs dozens of lines within the same second.
struct Stamp
{
    time_t second = -1;
    char text[48];
    int size = 0;
};

const Stamp& stampOf(time_t second)
{
    thread_local Stamp stamp;
    if (stamp.second != second) {
        tm local{};
        localtime_r(&second, &local);
        stamp.size = std::snprintf(stamp.text, sizeof stamp.text, "%04d-%02d-%02d %02d:%02d:%02d",
                                   local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                                   local.tm_min, local.tm_sec);
        stamp.second = second;
    }
    return stamp;
}

// "[thread] ", the thread's id in hex, made once per thread. A plain buffer:
// it stays readable as long as the thread logs.
struct ThreadTag
{
    char text[32];
    int size = 0;
};

const ThreadTag& threadTag()
{
    thread_local ThreadTag tag;
    if (tag.size == 0)
        tag.size = std::snprintf(
            tag.text, sizeof tag.text, "[%llx] ",
            static_cast<unsigned long long>(reinterpret_cast<quintptr>(QThread::currentThreadId())));
    return tag;
}

const char* levelName(Level level)
{
    switch (level) {
    case Level::Trace:
        return "TRACE";
    case Level::Debug:
        return "DEBUG";
    case Level::Info:
        return "INFO ";
    case Level::Warn:
        return "WARN ";
    case Level::Error:
        return "ERROR";
    case Level::Off:
        break;
    }
    return "?    ";
}

void handleQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    Level level = Level::Debug;
    switch (type) {
    case QtDebugMsg:
        level = Level::Debug;
        break;
    case QtInfoMsg:
        level = Level::Info;
        break;
    case QtWarningMsg:
        level = Level::Warn;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        level = Level::Error;
        break;
    }
    Logger::logger(QStringLiteral("Qt"))->log(level, message);
}

// Text from outside (a command's name, a line of the ini file) is written as
// it came but for control characters: a NUL or CR would end or overwrite the
// line, and the journal begins a record at NUL, where "<0>" would then set its
// priority. Each becomes "\u" and four hex digits; the line break stays.
bool isControl(const char* at, const char* end)
{
    const auto byte = static_cast<unsigned char>(*at);
    if (byte < 0x20)
        return byte != '\n';
    if (byte == 0x7F)
        return true;
    // U+0080 to U+009F, two bytes in UTF-8.
    return byte == 0xC2 && at + 1 < end && static_cast<unsigned char>(at[1]) < 0xA0;
}

QByteArray printable(QByteArray text)
{
    const char* begin = text.constData();
    const char* end = begin + text.size();
    const char* at = begin;
    while (at < end && !isControl(at, end))
        ++at;
    if (at == end)
        return text;
    QByteArray out;
    out.reserve(text.size() + 16);
    out.append(begin, at - begin);
    static const char digits[] = "0123456789abcdef";
    while (at < end) {
        if (!isControl(at, end)) {
            out.append(*at++);
            continue;
        }
        auto code = static_cast<unsigned char>(*at);
        if (code == 0xC2)
            code = static_cast<unsigned char>(*++at);
        ++at;
        const char escape[] = {'\\', 'u', '0', '0', digits[code >> 4], digits[code & 0xF]};
        out.append(escape, sizeof escape);
    }
    return out;
}

// A message's further lines begin with this, so that no text can pass for a
// line of its own with a time and level of its choosing.
constexpr char kContinuation[] = "    ";
constexpr size_t kContinuationSize = sizeof kContinuation - 1;

// The journal cuts a longer line (48 KiB by default) and takes the rest as a
// record of its own, whose start a client could choose, a priority included:
// long lines are cut here first, at a character's start, as further lines.
constexpr size_t kJournalPiece = 16 * 1024;

// Calls put(bytes, size, last) for the part of `text` on each line written,
// without its line break; every part after the first follows a continuation.
template <typename Put> void forEachPiece(const QByteArray& text, bool cut, Put put)
{
    const char* rest = text.constData();
    const char* const end = rest + text.size();
    for (;;) {
        const char* newline = static_cast<const char*>(std::memchr(rest, '\n', size_t(end - rest)));
        const char* stop = newline != nullptr ? newline : end;
        if (cut && size_t(stop - rest) > kJournalPiece) {
            stop = rest + kJournalPiece;
            while (stop > rest && (static_cast<unsigned char>(*stop) & 0xC0) == 0x80)
                --stop;
            if (stop == rest)
                stop = rest + kJournalPiece;
            put(rest, size_t(stop - rest), false);
            rest = stop;
            continue;
        }
        put(rest, size_t(stop - rest), newline == nullptr);
        if (newline == nullptr)
            return;
        rest = newline + 1;
    }
}

// One line, "yyyy-MM-dd hh:mm:ss.zzz LEVEL [thread] name - message\n", put
// together by hand straight where it goes, since every command logs dozens.
// A message's own further lines follow as continuations; for the journal every
// line begins with the priority.
struct Line
{
    const char* prefix; // null: no priority
    const Stamp& stamp;
    char fraction[5];
    const char* level;
    const ThreadTag& thread;
    const QByteArray& name;
    const QByteArray& text; // printable

    size_t size() const
    {
        size_t size =
            size_t(stamp.size) + sizeof fraction + 6 + size_t(thread.size) + size_t(name.size()) + 3;
        const size_t begin = prefix != nullptr ? 3 : 0;
        size_t lines = 0;
        forEachPiece(text, prefix != nullptr, [&](const char*, size_t count, bool) {
            size += begin + count + 1;
            ++lines;
        });
        return size + (lines - 1) * kContinuationSize;
    }

    void writeTo(char* out) const
    {
        const auto put = [&out](const char* bytes, size_t count) {
            std::memcpy(out, bytes, count);
            out += count;
        };
        if (prefix != nullptr)
            put(prefix, 3);
        put(stamp.text, size_t(stamp.size));
        put(fraction, sizeof fraction);
        put(level, 5);
        put(" ", 1);
        put(thread.text, size_t(thread.size));
        put(name.constData(), size_t(name.size()));
        put(" - ", 3);
        forEachPiece(text, prefix != nullptr, [&](const char* bytes, size_t count, bool last) {
            put(bytes, count);
            put("\n", 1);
            if (last)
                return;
            if (prefix != nullptr)
                put(prefix, 3);
            put(kContinuation, kContinuationSize);
        });
    }
};

void writeNow(const Line& line)
{
    QByteArray out(qsizetype(line.size()), Qt::Uninitialized);
    line.writeTo(out.data());
    writeOut(out.constData(), size_t(out.size()));
}

} // namespace

Logger* Logger::logger(const QString& name)
{
    QMutexLocker locker(&registryMutex());
    // Loggers live as long as the process: worker threads may log during shutdown.
    static auto* loggers = new QHash<QString, Logger*>();
    Logger*& entry = (*loggers)[name];
    if (!entry)
        entry = new Logger(name);
    return entry;
}

bool Logger::isEnabledFor(Level level) const
{
    return level != Level::Off && level >= thresholdValue().load();
}

void Logger::log(Level level, const QString& message) const
{
    if (!isEnabledFor(level))
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const int milliseconds = int(now.tv_nsec / 1000000);
    const QByteArray text = printable(message.toUtf8());
    const Line line{journalPrefixes() ? journalPrefix(level) : nullptr,
                    stampOf(now.tv_sec),
                    {'.', char('0' + milliseconds / 100), char('0' + milliseconds / 10 % 10),
                     char('0' + milliseconds % 10), ' '},
                    levelName(level),
                    threadTag(),
                    m_nameUtf8,
                    text};
    HeldSlot* slot = heldSlot;
    if (slot == nullptr) {
        writeNow(line);
        return;
    }
    const size_t size = line.size();
    size_t held = slot->size.load(std::memory_order_relaxed);
    if (held + size > kHeldCapacity) {
        writeHeld(*slot);
        held = 0;
    }
    if (size > kHeldCapacity) {
        writeNow(line);
        return;
    }
    line.writeTo(slot->bytes.load(std::memory_order_relaxed) + held);
    slot->size.store(held + size, std::memory_order_release);
    if (level >= Level::Warn)
        writeHeld(*slot);
}

LogBatch::LogBatch()
{
    if (batchDepth++ == 0)
        heldSlot = claimHeldSlot();
}

LogBatch::~LogBatch()
{
    if (--batchDepth > 0 || heldSlot == nullptr)
        return;
    HeldSlot* slot = heldSlot;
    heldSlot = nullptr;
    writeHeld(*slot);
    slot->taken.store(false, std::memory_order_release);
}

void LogBatch::flush()
{
    // Outside a batch nothing is held.
    if (heldSlot != nullptr)
        writeHeld(*heldSlot);
}

void LogBatch::flushAllThreadsSignalSafe()
{
    for (HeldSlot& slot : heldSlots) {
        if (!slot.taken.load(std::memory_order_acquire))
            continue;
        const size_t size = slot.size.load(std::memory_order_acquire);
        const char* bytes = slot.bytes.load(std::memory_order_acquire);
        for (size_t done = 0; bytes != nullptr && done < size;) {
            const ssize_t written = ::write(STDERR_FILENO, bytes + done, size - done);
            if (written > 0)
                done += size_t(written);
            else if (written == 0 || errno != EINTR)
                break;
        }
    }
}

void LogManager::setHandleQtMessages(bool handle)
{
    qInstallMessageHandler(handle ? handleQtMessage : nullptr);
}

void LogManager::setThreshold(Level level)
{
    thresholdValue().store(level);
}

Level LogManager::threshold()
{
    return thresholdValue().load();
}

} // namespace Log4Qt
