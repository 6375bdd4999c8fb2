#include "service/offlineticketnumber.h"

#include "storage/dao.h"

#include "korvan/singleton.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <algorithm>

namespace taxvault {

namespace {

const QString kRecord = QStringLiteral("offlineticketnumber");
const QString kNumber = QStringLiteral("number");

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
    const qint64 last = stored->value(kNumber).toInteger(0);
    return std::max(now.toSecsSinceEpoch(), last + 1);
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
