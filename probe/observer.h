#pragma once

#include "korvan/singleton.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <optional>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class Dao;

// The tool's commands against the service database. Each returns the text to
// print; an empty text means the command failed, which includes a database
// that could not be opened, read or written: an unreadable queue or fiscal
// memory must never pass for an empty one.
class Observer : public Singleton<Observer>
{
public:
    virtual QString protectedCounters();
    virtual QString shiftCounters();
    // A full fiscal memory is megabytes: these two build their text as the
    // UTF-8 bytes printed, never as a QString.
    virtual QByteArray fiscalMemory();
    virtual QByteArray fiscalMemory(QDate day);
    virtual QString fiscalMemory(int shiftNumber);
    virtual QString queueInfo();
    virtual QString resetToken();
    virtual QString setToken(const QString& value);
    virtual QString resetStatus();
    virtual QString messages();
    virtual QString message(int id);
    virtual QString deleteMessage(int id);
    virtual ~Observer() = default;

protected:
    Observer();
    friend class Singleton<Observer>;

private:
    static Dao* dao();
    // The blocks of all records, or of one day's; noRecords when there is none.
    QByteArray recordBlocks(const std::optional<QDate>& day, const QString& noRecords);

    QString m_dateFormat;
    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
