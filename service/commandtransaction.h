#pragma once

#include "storage/dao.h"

#include <QRecursiveMutex>

#include <mutex>
#include <optional>

namespace taxvault {

// The writes of a command (or of what one answer of the operator brings) as
// one database transaction for the life of this object, under the lock of the
// stored service request. A scope that waits for the operator's server must
// not hold one: the other threads would wait with it.
class CommandTransaction
{
public:
    // What leaving the scope before commit() does.
    enum class Unfinished { RollBack, Commit };

    explicit CommandTransaction(Dao::Sync sync = Dao::Sync::Synced,
                                Unfinished unfinished = Unfinished::RollBack);
    ~CommandTransaction();

    CommandTransaction(const CommandTransaction&) = delete;
    CommandTransaction& operator=(const CommandTransaction&) = delete;

    // False when the writes were rolled back. Once ended, later writes commit
    // on their own, and so do all of them when no transaction could begin.
    bool commit();

private:
    // Taken before the Dao's lock and released after it, in the order every
    // thread takes them.
    std::unique_lock<QRecursiveMutex> m_serviceRequestLock;
    std::optional<Dao::Transaction> m_writes;
    Unfinished m_unfinished;
};

} // namespace taxvault
