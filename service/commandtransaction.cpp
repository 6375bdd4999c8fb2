#include "service/commandtransaction.h"

#include "service/servicerecords.h"

#include "korvan/singleton.h"

namespace taxvault {

namespace {

Dao* dao()
{
    return Singleton<Dao>::instance();
}

} // namespace

CommandTransaction::CommandTransaction(Dao::Sync sync, Unfinished unfinished) : m_unfinished(unfinished)
{
    // The service request's lock before the Dao's, in the order every thread
    // takes them: the service information and the offline period need it inside.
    ServiceRecords::serviceRequestMutex().lock();
    m_open = dao()->beginTransaction(sync);
    if (!m_open)
        ServiceRecords::serviceRequestMutex().unlock();
}

CommandTransaction::~CommandTransaction()
{
    if (!m_open)
        return;
    if (m_unfinished == Unfinished::Commit)
        dao()->commitTransaction();
    else
        dao()->rollbackTransaction();
    release();
}

bool CommandTransaction::commit()
{
    if (!m_open)
        return true;
    const bool committed = dao()->commitTransaction();
    release();
    return committed;
}

void CommandTransaction::release()
{
    m_open = false;
    ServiceRecords::serviceRequestMutex().unlock();
}

} // namespace taxvault
