#pragma once

#include <QDir>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QReadWriteLock>
#include <QSet>
#include <QString>
#include <QVariant>

#include <atomic>

// Settings of an ini file, keyed "Section:name". Read and written from several
// threads; values set at run time stay in memory only and outlast a reload.
// A change of the files counts at the next read, at most a check interval later.
class Config
{
public:
    Config() = default;

    bool setConfigsPathList(const QList<QDir>& directories, const QList<QString>& files);

    // The keys the program reads. Once set, every other key or section of the files
    // is warned of with its file and line at each load: a misspelled name would
    // otherwise take its default in silence.
    void setKnownKeys(const QList<QString>& keys);

    QString getString(const QString& key, const QString& defaultValue = QString()) const;
    int getInt(const QString& key, int defaultValue = 0) const;
    bool getBool(const QString& key, bool defaultValue = false) const;
    void setValue(const QString& key, const QVariant& value);

    // How often at most the files are looked at again; 0 looks at every read.
    void setCheckInterval(int milliseconds);

private:
    QVariant value(const QString& key) const;
    void reloadIfChanged() const;
    QByteArray filesStamp() const;

    mutable QReadWriteLock m_lock;
    mutable QHash<QString, QVariant> m_fileValues;
    QHash<QString, QVariant> m_setValues;

    // Guarded by m_reloadMutex.
    mutable QMutex m_reloadMutex;
    QList<QDir> m_directories;
    QList<QString> m_files;
    mutable QByteArray m_stamp;
    QSet<QString> m_knownKeys;
    QSet<QString> m_knownSections;

    mutable std::atomic<qint64> m_lastCheck{0};
    std::atomic<int> m_checkInterval{1000};
};
