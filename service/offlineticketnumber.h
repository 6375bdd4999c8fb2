#pragma once

#include <QtGlobal>

#include <functional>
#include <optional>

class QDateTime;

namespace taxvault {

// The numbers of receipts queued while the service is autonomous. Each is
// greater than every one given before, also across restarts: the second since
// 1970 in which the receipt is queued, unless an earlier receipt already has
// that second (several receipts in one second, or a clock set back), and then
// the last number plus one. The last number given is kept in the database
// with the receipt that carries it.
class OfflineTicketNumber
{
public:
    // The number of a receipt queued at `now`; nothing when the last one given
    // cannot be read, is no number this class gives, or leaves no greater one
    // that goes out as it is. Nothing is stored.
    static std::optional<qint64> next(const QDateTime& now);

    // Keeps `number` as the last one given and runs `storeReceipt`, in one
    // transaction: both are stored, or neither. False without a number.
    static bool storeWith(std::optional<qint64> number, const std::function<bool()>& storeReceipt);
};

} // namespace taxvault
