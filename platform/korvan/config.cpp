#include "korvan/config.h"

#include "log4qt/logger.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>

#include <sys/stat.h>

namespace {

QString unquoted(const QString& value)
{
    if (value.size() < 2 || !value.startsWith(QLatin1Char('"')) || !value.endsWith(QLatin1Char('"')))
        return value;
    QString result;
    const QStringView inner = QStringView(value).mid(1, value.size() - 2);
    for (qsizetype i = 0; i < inner.size(); ++i) {
        if (inner.at(i) == QLatin1Char('\\') && i + 1 < inner.size())
            ++i;
        result.append(inner.at(i));
    }
    return result;
}

// Values are taken as written: an organisation's address keeps its commas and
// spaces (QSettings would turn "a, b" into a list and lose it).
struct KnownNames
{
    const QSet<QString>& keys;
    const QSet<QString>& sections;

    bool checked() const { return !keys.isEmpty(); }
};

Log4Qt::Logger* configLogger()
{
    return Log4Qt::Logger::logger(QStringLiteral("config"));
}

bool loadFile(const QString& path, const KnownNames& known, QHash<QString, QVariant>& values)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QString section;
    int number = 0;
    for (const QStringView rawLine : QStringView(text).split(QLatin1Char('\n'))) {
        ++number;
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed().toString();
            if (known.checked() && !known.sections.contains(section))
                configLogger()->warn(QStringLiteral("Неизвестный раздел файла конфигурации %1:%2: [%3]")
                                         .arg(path, QString::number(number), section));
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0) {
            // The setting meant here silently taking its default is what misleads.
            configLogger()->warn(QStringLiteral("Не прочитана строка файла конфигурации %1:%2: %3")
                                     .arg(path, QString::number(number), line));
            continue;
        }
        const QString name = line.left(equals).trimmed().toString();
        const QString value = unquoted(line.mid(equals + 1).trimmed().toString());
        const QString key = section.isEmpty() ? name : section + QLatin1Char(':') + name;
        if (known.checked() && !known.keys.contains(key))
            configLogger()->warn(QStringLiteral("Неизвестный ключ файла конфигурации %1:%2: %3")
                                     .arg(path, QString::number(number), key));
        values.insert(key, value);
    }
    return true;
}

QList<QString> iniFilesOf(const QList<QDir>& directories, const QList<QString>& files)
{
    QList<QString> paths;
    for (const QDir& dir : directories) {
        for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name))
            paths.append(info.absoluteFilePath());
    }
    paths.append(files);
    return paths;
}

// Identity and last change of one file: a file replaced by rename has a new
// inode, one rewritten in place a new change time or size.
void appendStamp(const QString& path, QByteArray& stamp)
{
    struct stat info = {};
    stamp.append(path.toUtf8());
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        stamp.append("|-\n");
        return;
    }
    stamp.append(QByteArray("|") + QByteArray::number(static_cast<qulonglong>(info.st_dev)) + ':' +
                 QByteArray::number(static_cast<qulonglong>(info.st_ino)) + ':' +
                 QByteArray::number(static_cast<qlonglong>(info.st_size)) + ':' +
                 QByteArray::number(static_cast<qlonglong>(info.st_mtim.tv_sec)) + '.' +
                 QByteArray::number(static_cast<qlonglong>(info.st_mtim.tv_nsec)) + ':' +
                 QByteArray::number(static_cast<qlonglong>(info.st_ctim.tv_sec)) + '.' +
                 QByteArray::number(static_cast<qlonglong>(info.st_ctim.tv_nsec)) + '\n');
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

bool Config::setConfigsPathList(const QList<QDir>& directories, const QList<QString>& files)
{
    QMutexLocker reloadLocker(&m_reloadMutex);
    m_directories = directories;
    m_files = files;
    m_stamp = filesStamp();
    QHash<QString, QVariant> values;
    bool found = false;
    const KnownNames known{m_knownKeys, m_knownSections};
    for (const QString& path : iniFilesOf(directories, files))
        found = loadFile(path, known, values) || found;
    m_lastCheck.store(nowMs());
    QWriteLocker locker(&m_lock);
    m_fileValues = values;
    m_setValues.clear();
    return found;
}

void Config::setKnownKeys(const QList<QString>& keys)
{
    QMutexLocker reloadLocker(&m_reloadMutex);
    m_knownKeys = QSet<QString>(keys.begin(), keys.end());
    m_knownSections.clear();
    for (const QString& key : keys)
        m_knownSections.insert(key.section(QLatin1Char(':'), 0, 0));
}

void Config::setCheckInterval(int milliseconds)
{
    m_checkInterval.store(milliseconds);
}

QByteArray Config::filesStamp() const
{
    QByteArray stamp;
    // A directory's stamp changes when an ini file is added or removed in it.
    for (const QDir& dir : m_directories)
        appendStamp(dir.absolutePath(), stamp);
    for (const QString& path : iniFilesOf(m_directories, m_files))
        appendStamp(path, stamp);
    return stamp;
}

void Config::reloadIfChanged() const
{
    const qint64 now = nowMs();
    const int interval = m_checkInterval.load();
    if (interval > 0 && now - m_lastCheck.load() < interval)
        return;
    QMutexLocker reloadLocker(&m_reloadMutex);
    if (interval > 0 && now - m_lastCheck.load() < interval)
        return;
    m_lastCheck.store(now);
    const QByteArray stamp = filesStamp();
    if (stamp == m_stamp)
        return;
    QHash<QString, QVariant> values;
    bool found = false;
    const KnownNames known{m_knownKeys, m_knownSections};
    for (const QString& path : iniFilesOf(m_directories, m_files))
        found = loadFile(path, known, values) || found;
    // A file that is gone or unreadable for a moment must not turn every
    // setting back to its default while the till is working.
    if (!found)
        return;
    m_stamp = stamp;
    QWriteLocker locker(&m_lock);
    m_fileValues = values;
}

QVariant Config::value(const QString& key) const
{
    reloadIfChanged();
    QReadLocker locker(&m_lock);
    const auto set = m_setValues.constFind(key);
    if (set != m_setValues.constEnd())
        return set.value();
    return m_fileValues.value(key);
}

QString Config::getString(const QString& key, const QString& defaultValue) const
{
    const QVariant v = value(key);
    return v.isValid() ? v.toString() : defaultValue;
}

int Config::getInt(const QString& key, int defaultValue) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return defaultValue;
    bool ok = false;
    if (v.typeId() == QMetaType::QString) {
        const QString text = v.toString();
        const int number = text.toInt(&ok);
        if (ok)
            return number;
        // The token is a 32-bit pattern: written as the engineer's tool and the
        // operator give it (unsigned) it means the same bits as the signed form.
        if (key == QLatin1String("KKM:token")) {
            const uint bits = text.toUInt(&ok);
            if (ok)
                return static_cast<int>(bits);
        }
        // Any other number must fit as written: its low 32 bits would turn a
        // records limit of 3000000000 into a negative one.
        return defaultValue;
    }
    // A token is set as an unsigned 64-bit number; its low 32 bits are what the frame carries.
    const qlonglong wide = v.toLongLong(&ok);
    if (ok)
        return static_cast<int>(static_cast<quint32>(static_cast<qulonglong>(wide)));
    const qulonglong uwide = v.toULongLong(&ok);
    if (ok)
        return static_cast<int>(static_cast<quint32>(uwide));
    return defaultValue;
}

bool Config::getBool(const QString& key, bool defaultValue) const
{
    const QVariant v = value(key);
    if (!v.isValid())
        return defaultValue;
    const QString text = v.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1") || text == QLatin1String("yes"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0") || text == QLatin1String("no"))
        return false;
    return defaultValue;
}

void Config::setValue(const QString& key, const QVariant& value)
{
    QWriteLocker locker(&m_lock);
    m_setValues.insert(key, value);
}
