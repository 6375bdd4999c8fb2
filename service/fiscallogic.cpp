#include "service/fiscallogic.h"

#include "documents/moneyplacementrequest.h"
#include "documents/ticketrequest.h"
#include "storage/countersrecord.h"
#include "storage/dao.h"

#include "korvan/config.h"
#include "korvan/singleton.h"
#include "log4qt/logger.h"

#include <QJsonObject>

namespace taxvault {

namespace {

QString operationName(int operation)
{
    switch (operation) {
    case 0:
        return QStringLiteral("OPERATION_BUY");
    case 1:
        return QStringLiteral("OPERATION_BUY_RETURN");
    case 2:
        return QStringLiteral("OPERATION_SELL");
    case 3:
        return QStringLiteral("OPERATION_SELL_RETURN");
    default:
        return QString();
    }
}

// Only cash, card and mobile payments are counted.
QString paymentName(int paymentType)
{
    switch (paymentType) {
    case 0:
        return QStringLiteral("PAYMENT_CASH");
    case 1:
        return QStringLiteral("PAYMENT_CARD");
    case 4:
        return QStringLiteral("PAYMENT_MOBILE");
    default:
        return QString();
    }
}

Dao* dao()
{
    return Singleton<Dao>::instance();
}

} // namespace

FiscalLogic::FiscalLogic() : m_logger(Log4Qt::Logger::logger(QStringLiteral("fiscallogic"))) {}

FiscalLogic::~FiscalLogic() = default;

bool FiscalLogic::addTicket(const QSharedPointer<TicketRequest>& ticket)
{
    m_logger->debug(QStringLiteral("Изменение счетчиков смены документом продажи/возврата"));

    QJsonObject payments;
    for (auto it = ticket->payments.cbegin(); it != ticket->payments.cend(); ++it) {
        const QString name = paymentName(it.key());
        if (name.isEmpty())
            continue;
        payments.insert(name, payments.value(name).toDouble(0) + it.value());
    }

    QJsonObject delta;
    const QString operation = operationName(ticket->operation);
    if (!operation.isEmpty())
        delta.insert(operation, payments);
    delta.insert(QStringLiteral("CHANGE"), ticket->amounts.change.value_or(0.0));

    const bool ok = dao()->updateShiftCounters(CountersRecord(delta));
    if (!ok)
        m_logger->error(QStringLiteral("Не удалось изменить счетчики смены"));
    return ok;
}

bool FiscalLogic::addMoneyPlacement(const QSharedPointer<MoneyPlacementRequest>& placement)
{
    m_logger->debug(QStringLiteral("Изменение счетчиков смены документом внесения/выема"));

    QJsonObject delta;
    if (placement->operation == 0)
        delta.insert(QStringLiteral("MONEY_PLACEMENT_DEPOSIT"), placement->sum);
    else if (placement->operation == 1)
        delta.insert(QStringLiteral("MONEY_PLACEMENT_WITHDRAWAL"), placement->sum);

    const bool ok = dao()->updateShiftCounters(CountersRecord(delta));
    if (!ok)
        m_logger->error(QStringLiteral("Не удалось изменить счетчики смены"));
    return ok;
}

bool FiscalLogic::closeShift(int shiftNumber)
{
    m_logger->debug(QStringLiteral("Перемещение счетчиков смены в фискальную память"));

    // The four steps are one transaction: a failure or a crash in between must
    // not leave a shift counted in the non-resettable counters but still open,
    // or a repeated close would count it twice.
    Dao::Transaction writes(*dao());
    if (!writes.isOpen()) {
        m_logger->error(QStringLiteral("Не удалось начать транзакцию закрытия смены"));
        return false;
    }

    const int limit =
        Singleton<Config>::instance()->getInt(QStringLiteral("FiscalMemory:fiscalMemoryRecordsLimit"), 10000);

    bool ok = false;
    if (!dao()->updateProtectedCounters())
        m_logger->error(QStringLiteral("Не удалось изменить необнуляемые счетчики"));
    else if (!dao()->saveShiftCountersToFiscalMemory(static_cast<uint>(shiftNumber)))
        m_logger->error(QStringLiteral("Не удалось сохранить счетчики смены в фискальной памяти"));
    else if (!dao()->clearShiftCounters())
        m_logger->error(QStringLiteral("Не удалось очистить счетчики смены"));
    else if (!dao()->trimFiscalMemory(limit))
        m_logger->error(QStringLiteral("Не удалось выполнить подрезку фискальной памяти"));
    else
        ok = true;

    if (!ok)
        return false;
    // A failed commit has already rolled back.
    if (!writes.commit()) {
        m_logger->error(QStringLiteral("Не удалось подтвердить транзакцию закрытия смены"));
        return false;
    }
    return true;
}

} // namespace taxvault
