#include "korvan/config.h"

#include <QFileInfo>
#include <QSettings>

namespace {

QString configKey(const QString& settingsKey)
{
    QString result = settingsKey;
    return result.replace(QLatin1Char('/'), QLatin1Char(':'));
}

void loadFile(const QString& path, QHash<QString, QVariant>& values)
{
    QSettings settings(path, QSettings::IniFormat);
    for (const QString& key : settings.allKeys())
        values.insert(configKey(key), settings.value(key));
}

} // namespace

bool Config::setConfigsPathList(const QList<QDir>& directories, const QList<QString>& files)
{
    QHash<QString, QVariant> values;
    bool found = false;
    for (const QDir& dir : directories) {
        for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("*.ini")}, QDir::Files, QDir::Name)) {
            loadFile(info.absoluteFilePath(), values);
            found = true;
        }
    }
    for (const QString& file : files) {
        if (QFileInfo::exists(file)) {
            loadFile(file, values);
            found = true;
        }
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
    // A token is stored as an unsigned 64-bit number; its low 32 bits are what the frame carries.
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
