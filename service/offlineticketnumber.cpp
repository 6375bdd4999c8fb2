#include "service/offlineticketnumber.h"

#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <algorithm>

namespace taxvault {

namespace {

const QString kRecord = QStringLiteral("offlineticketnumber");
const QString kNumber = QStringLiteral("number");

// The largest number the operator's field carries: any larger would go out as
// some other number. As a second it is in 2106, past the life of any till, so
// a stored number beyond it is damaged or foreign, not the clock's.
constexpr qint64 kLargestNumber = 4294967295;

Dao* dao()
{
    return Singleton<Dao>::instance();
}

} // namespace

std::optional<qint64> OfflineTicketNumber::next(const QDateTime& now)
{
    // Unreadable, the last number is unknown, and any number might repeat one.
    const std::optional<QJsonObject> stored = dao()->readServiceData(kRecord);
    if (!stored)
        return std::nullopt;
    const QJsonValue value = stored->value(kNumber);
    qint64 last = 0;
    if (!value.isUndefined()) {
        // Only whole numbers in the field's range are written here.
        last = value.toInteger(-1);
        if (last < 0 || last > kLargestNumber)
            return std::nullopt;
    }
    const qint64 number = std::max(now.toSecsSinceEpoch(), last + 1);
    if (number > kLargestNumber)
        return std::nullopt;
    return number;
}

bool OfflineTicketNumber::storeWith(std::optional<qint64> number, const std::function<bool()>& storeReceipt)
{
    if (!number)
        return false;
    Dao::Transaction writes(*dao());
    if (!writes.isOpen() || !dao()->saveServiceData(kRecord, QJsonObject{{kNumber, *number}}) ||
        !storeReceipt())
        return false;
    return writes.commit();
}

} // namespace taxvault
