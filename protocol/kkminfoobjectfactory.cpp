#include "protocol/kkminfoobjectfactory.h"

#include "documents/moneyplacementresponse.h"
#include "documents/reportresponse.h"
#include "documents/serviceresponse.h"
#include "documents/ticketresponse.h"
#include "documents/zxreport.h"

namespace taxvault {

namespace {

QString text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// An element keyed by an enumeration value that the schema does not declare (one the server
// added later) has that field unset after parsing; read as the enumeration's first value it
// would overwrite the real entry of that value, so such an element is skipped.

template <typename Entries>
QMap<int, Operation> operationMap(const Entries& entries)
{
    // A later entry for the same operation replaces an earlier one.
    QMap<int, Operation> map;
    for (const ofd::proto::ZXReport_Operation& entry : entries) {
        if (!entry.has_operation())
            continue;
        Operation operation;
        operation.count = entry.count();
        operation.sum = KkmInfoObjectFactory::toDouble(entry.sum());
        map.insert(entry.operation(), operation);
    }
    return map;
}

template <typename Entries>
QMap<int, double> sumMap(const Entries& entries)
{
    QMap<int, double> map;
    for (const ofd::proto::ZXReport_NonNullableSum& entry : entries) {
        if (entry.has_operation())
            map.insert(entry.operation(), KkmInfoObjectFactory::toDouble(entry.sum()));
    }
    return map;
}

} // namespace

KkmInfoObjectFactory::~KkmInfoObjectFactory() = default;

QJsonObject KkmInfoObjectFactory::responseToJson(const ofd::proto::Response& response, int command) const
{
    // Compared unsigned, so a negative number falls among the unknown ones.
    switch (static_cast<unsigned>(command)) {
    case ofd::proto::COMMAND_SYSTEM:
        return createServiceResponse(response.service()).toJson();
    case ofd::proto::COMMAND_TICKET: {
        TicketResponse reply;
        const ofd::proto::TicketResponse& ticket = response.ticket();
        reply.ticketNumber = text(ticket.ticket_number());
        const std::string& qr = ticket.qr_code();
        const size_t end = qr.find('\0');
        reply.qrCode = QByteArray(qr.data(), static_cast<qsizetype>(end == std::string::npos ? qr.size() : end));
        return reply.toJson();
    }
    case ofd::proto::COMMAND_CLOSE_SHIFT:
    case ofd::proto::COMMAND_REPORT:
    case ofd::proto::COMMAND_INFO: {
        ReportResponse reply;
        reply.report = response.report().report();
        reply.zxReport = createZXReport(response.report().zx_report());
        return reply.toJson();
    }
    case ofd::proto::COMMAND_MONEY_PLACEMENT:
        return MoneyPlacementResponse().toJson();
    default:
        return QJsonObject();
    }
}

ServiceResponse KkmInfoObjectFactory::createServiceResponse(const ofd::proto::ServiceResponse& service) const
{
    ServiceResponse result;

    for (const ofd::proto::TicketAd& ad : service.ticket_ads()) {
        // An advertisement of an undeclared type would pass for one of the first type and
        // raise that type's version in the stored service request.
        if (!ad.info().has_type())
            continue;
        TicketAd document;
        document.info.type = ad.info().type();
        document.info.version = static_cast<qlonglong>(ad.info().version());
        document.text = text(ad.text());
        result.ticketAds.append(document);
    }

    const ofd::proto::ServiceResponse_RegInfo& reg = service.reg_info();
    KkmRegInfo& kkm = result.regInfo.kkm;
    kkm.pointOfPaymentNumber = text(reg.kkm().point_of_payment_number());
    kkm.terminalNumber = text(reg.kkm().terminal_number());
    kkm.fnsKkmId = text(reg.kkm().fns_kkm_id());
    kkm.serialNumber = text(reg.kkm().serial_number());
    kkm.kkmId = text(reg.kkm().kkm_id());

    if (reg.has_pos()) {
        PosRegInfo pos;
        pos.title = text(reg.pos().title());
        pos.address = text(reg.pos().address());
        pos.addressKz = text(reg.pos().address_kz());
        pos.latitude = reg.pos().latitude();
        pos.longitude = reg.pos().longitude();
        result.regInfo.pos = pos;
    }

    OrgRegInfo& org = result.regInfo.org;
    org.title = text(reg.org().title());
    org.address = text(reg.org().address());
    org.inn = text(reg.org().inn());
    org.okved = text(reg.org().okved());
    org.addressKz = text(reg.org().address_kz());

    if (service.has_last_document_info()) {
        LastDocumentInfo info;
        // Unsigned numbers keep their bits in the signed members.
        info.frShiftNumber = static_cast<int>(service.last_document_info().fr_shift_number());
        info.printedDocumentNumber = static_cast<qlonglong>(service.last_document_info().printed_document_number());
        result.lastDocumentInfo = info;
    }

    if (service.has_binded_taxation()) {
        BindedTaxation taxation;
        taxation.type = service.binded_taxation().type();
        for (const ofd::proto::BindedTaxation_BindedTax& tax : service.binded_taxation().taxes()) {
            // The tax's own type is not read: a bound tax is always VAT.
            BindedTax bound;
            bound.percent = tax.percent();
            taxation.taxes.append(bound);
        }
        result.bindedTaxation = taxation;
    }

    for (const ofd::proto::KeyValuePair& pair : service.auxiliary())
        result.auxiliary.insert(text(pair.key()), text(pair.value()));
    return result;
}

ZXReport KkmInfoObjectFactory::createZXReport(const ofd::proto::ZXReport& report)
{
    ZXReport result;
    result.dateTime = toQDateTime(report.date_time());
    result.openShiftTime = toQDateTime(report.open_shift_time());
    if (report.has_close_shift_time())
        result.closeShiftTime = toQDateTime(report.close_shift_time());
    result.shiftNumber = static_cast<int>(report.shift_number());

    for (const ofd::proto::ZXReport_Section& entry : report.sections()) {
        Section section;
        section.operations = operationMap(entry.operations());
        result.sections.insert(text(entry.section_code()), section);
    }

    result.operations = operationMap(report.operations());
    result.discounts = operationMap(report.discounts());
    result.markups = operationMap(report.markups());
    result.totalResult = operationMap(report.total_result());

    for (const ofd::proto::ZXReport_Tax& entry : report.taxes()) {
        if (!entry.has_type())
            continue;
        TaxTotals totals;
        totals.type = entry.type();
        for (const ofd::proto::ZXReport_Tax_TaxOperation& op : entry.operations()) {
            if (!op.has_operation())
                continue;
            TaxOperation operation;
            operation.turnover = toDouble(op.turnover());
            operation.turnoverWithoutTax = toDouble(op.turnover_without_tax());
            operation.sum = toDouble(op.sum());
            totals.operations.insert(op.operation(), operation);
        }
        result.taxes.insert(static_cast<int>(entry.percent()), totals);
    }

    result.startShiftNonNullableSums = sumMap(report.start_shift_non_nullable_sums());
    result.nonNullableSums = sumMap(report.non_nullable_sums());

    for (const ofd::proto::ZXReport_TicketOperation& entry : report.ticket_operations()) {
        if (!entry.has_operation())
            continue;
        TicketOperation operation;
        operation.ticketsTotalCount = static_cast<int>(entry.tickets_total_count());
        operation.ticketsCount = static_cast<int>(entry.tickets_count());
        operation.offlineCount = static_cast<int>(entry.offline_count());
        operation.ticketsSum = toDouble(entry.tickets_sum());
        operation.discountSum = toDouble(entry.discount_sum());
        operation.markupSum = toDouble(entry.markup_sum());
        operation.changeSum = toDouble(entry.change_sum());
        for (const ofd::proto::ZXReport_TicketOperation_Payment& p : entry.payments()) {
            if (!p.has_payment())
                continue;
            TicketOperationPayment payment;
            payment.sum = toDouble(p.sum());
            payment.count = p.count();
            operation.payments.insert(p.payment(), payment);
        }
        result.ticketOperations.insert(entry.operation(), operation);
    }

    for (const ofd::proto::ZXReport_MoneyPlacement& entry : report.money_placements()) {
        if (!entry.has_operation())
            continue;
        MoneyPlacement placement;
        placement.operationsTotalCount = entry.operations_total_count();
        placement.operationsCount = entry.operations_count();
        placement.operationsSum = toDouble(entry.operations_sum());
        placement.offlineCount = entry.offline_count();
        result.moneyPlacements.insert(entry.operation(), placement);
    }

    result.cashSum = toDouble(report.cash_sum());
    const double revenue = toDouble(report.revenue().sum());
    result.revenue = report.revenue().is_negative() ? -revenue : revenue;
    return result;
}

QDateTime KkmInfoObjectFactory::toQDateTime(const ofd::proto::DateTime& dateTime)
{
    QDateTime result;
    if (dateTime.has_date()) {
        const ofd::proto::Date& d = dateTime.date();
        result.setDate(QDate(static_cast<int>(d.year()), static_cast<int>(d.month()), static_cast<int>(d.day())));
    }
    if (dateTime.has_time()) {
        const ofd::proto::Time& t = dateTime.time();
        result.setTime(QTime(static_cast<int>(t.hour()), static_cast<int>(t.minute()), static_cast<int>(t.second()), 0));
    }
    return result;
}

double KkmInfoObjectFactory::toDouble(const ofd::proto::Money& money)
{
    return static_cast<double>(money.bills()) + money.coins() / 100.0;
}

} // namespace taxvault
