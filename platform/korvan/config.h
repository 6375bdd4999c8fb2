#pragma once

#include <QDir>
#include <QHash>
#include <QList>
#include <QReadWriteLock>
#include <QString>
#include <QVariant>

// Settings of an ini file, keyed "Section:name". Read and written from several
// threads; values set at run time stay in memory only.
class Config
{
public:
    Config() = default;

    bool setConfigsPathList(const QList<QDir>& directories, const QList<QString>& files);

    QString getString(const QString& key, const QString& defaultValue = QString()) const;
    int getInt(const QString& key, int defaultValue = 0) const;
    bool getBool(const QString& key, bool defaultValue = false) const;
    void setValue(const QString& key, const QVariant& value);

private:
    QVariant value(const QString& key) const;

    mutable QReadWriteLock m_lock;
    QHash<QString, QVariant> m_values;
};
