#include "korvan/config.h"

#include <QFile>
#include <QFileInfo>

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
bool loadFile(const QString& path, QHash<QString, QVariant>& values)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    QString section;
    for (const QStringView rawLine : QStringView(text).split(QLatin1Char('\n'))) {
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).trimmed().toString();
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString name = line.left(equals).trimmed().toString();
        const QString value = unquoted(line.mid(equals + 1).trimmed().toString());
        values.insert(section.isEmpty() ? name : section + QLatin1Char(':') + name, value);
    }
    return true;
}

} // namespace

bool Config::setConfigsPathList(const QList<QDir>& directories, const QList<QString>& files)
{
    QHash<QString, QVariant> values;
    bool found = false;
    for (const QDir& dir : directories) {
        for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name)) {
            found = loadFile(info.absoluteFilePath(), values) || found;
        }
    }
    for (const QString& file : files) {
        found = loadFile(file, values) || found;
    }
    QWriteLocker locker(&m_lock);
    m_values = values;
    return found;
}

QVariant Config::value(const QString& key) const
{
    QReadLocker locker(&m_lock);
    return m_values.value(key);
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
    // A number in the file must fit as written: its low 32 bits would turn a
    // records limit of 3000000000 into a negative one.
    if (v.typeId() == QMetaType::QString) {
        const int number = v.toString().toInt(&ok);
        return ok ? number : defaultValue;
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
    m_values.insert(key, value);
}
