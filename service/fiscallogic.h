#pragma once

#include <QSharedPointer>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

class TicketRequest;
class MoneyPlacementRequest;

// Turns accepted fiscal documents into changes of the shift counters, and
// moves them into the non-resettable counters and the fiscal memory when a
// shift closes. Every counter lives in the database; this keeps no state.
class FiscalLogic
{
public:
    FiscalLogic();
    virtual ~FiscalLogic();

    virtual bool addTicket(const QSharedPointer<TicketRequest>& ticket);
    virtual bool addMoneyPlacement(const QSharedPointer<MoneyPlacementRequest>& placement);
    virtual bool closeShift(int shiftNumber);

private:
    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
