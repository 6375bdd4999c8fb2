#include "service/commandtransaction.h"

#include "service/servicerecords.h"

#include "korvan/singleton.h"

namespace taxvault {

CommandTransaction::CommandTransaction(Dao::Sync sync, Unfinished unfinished)
    : m_serviceRequestLock(ServiceRecords::serviceRequestMutex()), m_unfinished(unfinished)
{
    // The service information and the offline period need the service
    // request's lock inside.
    m_writes.emplace(*Singleton<Dao>::instance(), sync);
    if (!m_writes->isOpen()) {
        m_writes.reset();
        m_serviceRequestLock.unlock();
    }
}

CommandTransaction::~CommandTransaction()
{
    // An exception on the way too: what was stored before it stays. A commit
    // that fails or throws leaves the rollback to the members.
    if (m_writes && m_unfinished == Unfinished::Commit) {
        try {
            m_writes->commit();
        } catch (...) {
        }
    }
}

bool CommandTransaction::commit()
{
    if (!m_writes)
        return true;
    const bool committed = m_writes->commit();
    m_writes.reset();
    m_serviceRequestLock.unlock();
    return committed;
}

} // namespace taxvault
