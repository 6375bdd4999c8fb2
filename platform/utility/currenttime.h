#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>

// The clock; obtained through MockFactory so that tests can replace it.
class CurrentTime
{
public:
    virtual ~CurrentTime() = default;
    virtual QDate currentDate() const { return QDate::currentDate(); }
    virtual QDateTime currentDateTime() const { return QDateTime::currentDateTime(); }
    virtual QTime currentTime() const { return QTime::currentTime(); }
};
