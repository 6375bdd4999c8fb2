#include "protocol/protoobjectfactory.h"

#include "protocol/serviceexception.h"

#include "documents/amounts.h"
#include "documents/closeshiftrequest.h"
#include "documents/commodity.h"
#include "documents/documentmapping.h"
#include "documents/extensionoptions.h"
#include "documents/item.h"
#include "documents/modifier.h"
#include "documents/moneyplacementrequest.h"
#include "documents/operatorcashier.h"
#include "documents/parentticket.h"
#include "documents/reportrequest.h"
#include "documents/servicerequest.h"
#include "documents/tax.h"
#include "documents/ticketrequest.h"
#include "documents/zxreport.h"

#include "utility/numeric.h"

#include <google/protobuf/message.h>

#include <QVariantMap>

#include <climits>
#include <cmath>
#include <memory>

namespace taxvault {

namespace {

constexpr int kCommandTicket = ofd::proto::COMMAND_TICKET;
constexpr int kCommandCloseShift = ofd::proto::COMMAND_CLOSE_SHIFT;
constexpr int kCommandReport = ofd::proto::COMMAND_REPORT;
constexpr int kCommandMoneyPlacement = ofd::proto::COMMAND_MONEY_PLACEMENT;

// The fixed key sets of a report, in the order they are sent.
constexpr int kOperationTypes[] = {ofd::proto::OPERATION_BUY, ofd::proto::OPERATION_BUY_RETURN,
                                   ofd::proto::OPERATION_SELL, ofd::proto::OPERATION_SELL_RETURN};
constexpr int kPaymentTypes[] = {ofd::proto::PAYMENT_CASH, ofd::proto::PAYMENT_CARD, ofd::proto::PAYMENT_MOBILE};
constexpr int kMoneyPlacementTypes[] = {ofd::proto::MONEY_PLACEMENT_DEPOSIT,
                                        ofd::proto::MONEY_PLACEMENT_WITHDRAWAL};

// A number of a free field for an unsigned one of the frame. Beyond the field's range it would keep
// its low bits and become another valid value (4294967299 a shift 3): it counts as no number, 0.
template <typename T> T freeInteger(const QVariant& value)
{
    return mapping::integerOf<T>(value).value_or(0);
}

std::string utf8(const QString& text)
{
    return text.toStdString();
}

template <typename Pairs>
void addAuxiliary(const QVariantMap& auxiliary, Pairs* pairs)
{
    for (auto it = auxiliary.cbegin(); it != auxiliary.cend(); ++it) {
        ofd::proto::KeyValuePair* pair = pairs->Add();
        pair->set_key(utf8(it.key()));
        pair->set_value(utf8(it.value().toString()));
    }
}

void setMoney(ofd::proto::Money* money, double amount)
{
    *money = ProtoObjectFactory::createMoney(amount);
}

void setDateTime(ofd::proto::DateTime* target, const QDateTime& dateTime)
{
    *target = ProtoObjectFactory::createDateTime(dateTime);
}

// Both commodity messages carry the same fields under different numbers.
template <typename Message>
void fillCommodity(Message* target, const Commodity& commodity)
{
    target->set_name(utf8(commodity.name));
    target->set_section_code(utf8(commodity.sectionCode));
    // Widened with its sign: a quantity of -1 goes out as 2^64 - 1.
    target->set_quantity(static_cast<uint64_t>(static_cast<int64_t>(commodity.quantity)));
    setMoney(target->mutable_price(), commodity.price);
    setMoney(target->mutable_sum(), commodity.sum);
    for (const Tax& tax : commodity.taxes)
        *target->add_taxes() = ProtoObjectFactory::createTicketTax(tax);
    if (!commodity.exciseStamp.isEmpty())
        target->add_list_excise_stamp(utf8(commodity.exciseStamp));
    target->set_ntin(utf8(commodity.ntin));
    target->set_measure_unit_code(utf8(commodity.measureUnitCode));
    addAuxiliary(commodity.auxiliary, target->mutable_auxiliary());
}

ofd::proto::TicketRequest_Item createItem(const Item& item)
{
    ofd::proto::TicketRequest_Item result;
    result.set_type(static_cast<ofd::proto::TicketRequest_Item_ItemTypeEnum>(item.type));
    switch (item.type) {
    case ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_COMMODITY:
        fillCommodity(result.mutable_commodity(), item.commodity);
        break;
    case ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_STORNO_COMMODITY:
        fillCommodity(result.mutable_storno_commodity(), item.commodity);
        break;
    case ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_MARKUP:
        *result.mutable_markup() = ProtoObjectFactory::createModifier(item.modifier);
        break;
    case ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_STORNO_MARKUP:
        *result.mutable_storno_markup() = ProtoObjectFactory::createModifier(item.modifier);
        break;
    case ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_DISCOUNT:
        *result.mutable_discount() = ProtoObjectFactory::createModifier(item.modifier);
        break;
    case ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_STORNO_DISCOUNT:
        *result.mutable_storno_discount() = ProtoObjectFactory::createModifier(item.modifier);
        break;
    default:
        // Unknown line types travel with their type alone.
        break;
    }
    return result;
}

ofd::proto::CloseShiftRequest createCloseShift(const CloseShiftRequest& request)
{
    ofd::proto::CloseShiftRequest result;
    setDateTime(result.mutable_close_time(), request.closeTime);
    result.set_is_offline(request.isOfflineFlag);
    result.set_withdraw_money(request.withdrawMoney);
    if (!request.frShiftNumber.isNull())
        result.set_fr_shift_number(freeInteger<quint32>(request.frShiftNumber));
    if (!request.printedDocumentNumber.isNull())
        result.set_printed_document_number(freeInteger<quint64>(request.printedDocumentNumber));
    *result.mutable_z_report() = ProtoObjectFactory::createZXReport(request.zReport);
    *result.mutable_operator_() = ProtoObjectFactory::createOperator(request.operatorCashier);
    return result;
}

ofd::proto::ReportRequest createReport(const ReportRequest& request)
{
    ofd::proto::ReportRequest result;
    result.set_report(static_cast<ofd::proto::ReportTypeEnum>(request.report));
    setDateTime(result.mutable_date_time(), request.dateTime);
    result.set_is_offline(request.isOfflineFlag);
    *result.mutable_zx_report() = ProtoObjectFactory::createZXReport(request.zxReport);
    return result;
}

ofd::proto::MoneyPlacementRequest createMoneyPlacement(const MoneyPlacementRequest& request)
{
    ofd::proto::MoneyPlacementRequest result;
    setDateTime(result.mutable_date_time(), request.dateTime);
    result.set_operation(static_cast<ofd::proto::MoneyPlacementEnum>(request.operation));
    setMoney(result.mutable_sum(), request.sum);
    result.set_is_offline(request.isOfflineFlag);
    if (!request.frShiftNumber.isNull())
        result.set_fr_shift_number(freeInteger<quint32>(request.frShiftNumber));
    if (!request.printedDocumentNumber.isNull())
        result.set_printed_document_number(freeInteger<quint64>(request.printedDocumentNumber));
    *result.mutable_operator_() = ProtoObjectFactory::createOperator(request.operatorCashier);
    return result;
}

void fillOperation(ofd::proto::ZXReport_Operation* target, int type, const Operation& operation)
{
    target->set_operation(static_cast<ofd::proto::OperationTypeEnum>(type));
    target->set_count(operation.count);
    setMoney(target->mutable_sum(), operation.sum);
}

void fillNonNullableSum(ofd::proto::ZXReport_NonNullableSum* target, int type, double sum)
{
    target->set_operation(static_cast<ofd::proto::OperationTypeEnum>(type));
    setMoney(target->mutable_sum(), sum);
}

void fillTicketOperation(ofd::proto::ZXReport_TicketOperation* target, int type, const TicketOperation& operation)
{
    target->set_operation(static_cast<ofd::proto::OperationTypeEnum>(type));
    target->set_tickets_total_count(static_cast<uint32_t>(operation.ticketsTotalCount));
    target->set_tickets_count(static_cast<uint32_t>(operation.ticketsCount));
    target->set_offline_count(static_cast<uint32_t>(operation.offlineCount));
    setMoney(target->mutable_tickets_sum(), operation.ticketsSum);
    setMoney(target->mutable_discount_sum(), operation.discountSum);
    setMoney(target->mutable_markup_sum(), operation.markupSum);
    setMoney(target->mutable_change_sum(), operation.changeSum);
    for (int paymentType : kPaymentTypes) {
        const TicketOperationPayment payment = operation.payments.value(paymentType);
        ofd::proto::ZXReport_TicketOperation_Payment* entry = target->add_payments();
        entry->set_payment(static_cast<ofd::proto::PaymentTypeEnum>(paymentType));
        setMoney(entry->mutable_sum(), payment.sum);
        entry->set_count(payment.count);
    }
}

} // namespace

ProtoObjectFactory::~ProtoObjectFactory() = default;

ofd::proto::Request ProtoObjectFactory::createRequest(const QJsonObject& message) const
{
    ofd::proto::Request request;
    const int command = message.value(QStringLiteral("command")).toInt(0);
    if (command != kCommandTicket && command != kCommandCloseShift && command != kCommandReport &&
        command != kCommandMoneyPlacement)
        return request;

    const QJsonObject body = message.value(QStringLiteral("request")).toObject();
    switch (command) {
    case kCommandTicket:
        *request.mutable_ticket() = createTicketRequest(TicketRequest::fromJson(body));
        break;
    case kCommandCloseShift:
        *request.mutable_close_shift() = createCloseShift(CloseShiftRequest::fromJson(body));
        break;
    case kCommandReport:
        *request.mutable_report() = createReport(ReportRequest::fromJson(body));
        break;
    case kCommandMoneyPlacement:
        *request.mutable_money_placement() = createMoneyPlacement(MoneyPlacementRequest::fromJson(body));
        break;
    }
    return request;
}

ofd::proto::ServiceRequest ProtoObjectFactory::createServiceRequest(const ServiceRequest& request) const
{
    ofd::proto::ServiceRequest result;

    ofd::proto::ServiceRequest_OfflinePeriod* period = result.mutable_offline_period();
    setDateTime(period->mutable_begin_time(), request.offlinePeriod.beginTime);
    setDateTime(period->mutable_end_time(), request.offlinePeriod.endTime);

    if (!request.nomenclatureVersion.isNull())
        result.set_nomenclature_version(freeInteger<quint32>(request.nomenclatureVersion));
    result.set_get_reg_info(request.getRegInfoFlag);
    addAuxiliary(request.auxiliary, result.mutable_auxiliary());

    const KkmRegInfo& kkm = request.regInfo.kkm;
    ofd::proto::KkmRegInfo* kkmInfo = result.mutable_reg_info()->mutable_kkm();
    if (!kkm.pointOfPaymentNumber.isEmpty())
        kkmInfo->set_point_of_payment_number(utf8(kkm.pointOfPaymentNumber));
    if (!kkm.terminalNumber.isEmpty())
        kkmInfo->set_terminal_number(utf8(kkm.terminalNumber));
    kkmInfo->set_fns_kkm_id(utf8(kkm.fnsKkmId));
    kkmInfo->set_serial_number(utf8(kkm.serialNumber));
    kkmInfo->set_kkm_id(utf8(kkm.kkmId));

    const OrgRegInfo& org = request.regInfo.org;
    ofd::proto::OrgRegInfo* orgInfo = result.mutable_reg_info()->mutable_org();
    orgInfo->set_title(utf8(org.title));
    orgInfo->set_address(utf8(org.address));
    orgInfo->set_inn(utf8(org.inn));
    orgInfo->set_okved(utf8(org.okved));
    orgInfo->set_address_kz(utf8(org.addressKz));

    const GeoPosition& position = request.securityStats.geoPosition;
    ofd::proto::ServiceRequest_SecurityStats_GeoPosition* geo =
        result.mutable_security_stats()->mutable_geo_position();
    geo->set_latitude(position.latitude);
    geo->set_longitude(position.longitude);
    geo->set_source(utf8(position.source));
    return result;
}

QByteArray ProtoObjectFactory::serialize(const google::protobuf::Message& message)
{
    const size_t size = message.ByteSizeLong();
    // The library encodes at most INT_MAX bytes into one buffer.
    if (size > static_cast<size_t>(INT_MAX))
        throw ServiceException(QStringLiteral("Ошибка сериализации запроса"));
    std::unique_ptr<char[]> buffer(new char[size > 0 ? size : 1]);
    // Required fields are not tested: an incomplete message is still sent
    // and judged by the server.
    if (!message.SerializePartialToArray(buffer.get(), static_cast<int>(size)))
        throw ServiceException(QStringLiteral("Ошибка сериализации запроса"));
    return QByteArray(buffer.get(), static_cast<qsizetype>(size));
}

ofd::proto::TicketRequest ProtoObjectFactory::createTicketRequest(const TicketRequest& request)
{
    ofd::proto::TicketRequest result;
    result.set_operation(static_cast<ofd::proto::OperationTypeEnum>(request.operation));
    setDateTime(result.mutable_date_time(), request.dateTime);
    *result.mutable_operator_() = createOperator(request.operatorCashier);
    result.mutable_domain()->set_type(static_cast<ofd::proto::DomainTypeEnum>(request.domain.type));

    for (const Item& item : request.items)
        *result.add_items() = createItem(item);
    for (auto it = request.payments.cbegin(); it != request.payments.cend(); ++it) {
        ofd::proto::TicketRequest_Payment* payment = result.add_payments();
        payment->set_type(static_cast<ofd::proto::PaymentTypeEnum>(it.key()));
        setMoney(payment->mutable_sum(), it.value());
    }
    for (const Tax& tax : request.taxes)
        *result.add_taxes() = createTicketTax(tax);

    const Amounts& amounts = request.amounts;
    ofd::proto::TicketRequest_Amounts* target = result.mutable_amounts();
    setMoney(target->mutable_total(), amounts.total);
    if (amounts.taken)
        setMoney(target->mutable_taken(), *amounts.taken);
    if (amounts.change)
        setMoney(target->mutable_change(), *amounts.change);
    if (amounts.markup)
        *target->mutable_markup() = createModifier(*amounts.markup);
    if (amounts.discount)
        *target->mutable_discount() = createModifier(*amounts.discount);

    if (request.extensionOptions) {
        const ExtensionOptions& options = *request.extensionOptions;
        ofd::proto::TicketRequest_ExtensionOptions* extension = result.mutable_extension_options();
        if (!options.customerEmail.isEmpty())
            extension->set_customer_email(utf8(options.customerEmail));
        if (!options.customerPhone.isEmpty())
            extension->set_customer_phone(utf8(options.customerPhone));
        if (!options.customerIinOrBin.isEmpty())
            extension->set_customer_iin_or_bin(utf8(options.customerIinOrBin));
        addAuxiliary(options.auxiliary, extension->mutable_auxiliary());
    }

    if (!request.offlineTicketNumber.isNull())
        result.set_offline_ticket_number(freeInteger<quint32>(request.offlineTicketNumber));
    if (!request.printedDocumentNumber.isNull())
        result.set_printed_document_number(freeInteger<quint64>(request.printedDocumentNumber));
    if (!request.frShiftNumber.isNull())
        result.set_fr_shift_number(freeInteger<quint32>(request.frShiftNumber));

    if (request.parentTicket) {
        const ParentTicket& parent = *request.parentTicket;
        ofd::proto::TicketRequest_ParentTicket* target = result.mutable_parent_ticket();
        target->set_parent_ticket_number(utf8(parent.number));
        setDateTime(target->mutable_parent_ticket_data_time(), parent.dateTime);
        target->set_kgd_kkm_id(utf8(parent.kkmId));
        setMoney(target->mutable_parent_ticket_total(), parent.sum);
        target->set_parent_ticket_is_offline(parent.isOffline);
    }
    return result;
}

ofd::proto::TicketRequest_Tax ProtoObjectFactory::createTicketTax(const Tax& tax)
{
    ofd::proto::TicketRequest_Tax result;
    result.set_type(static_cast<ofd::proto::TaxTypeEnum>(tax.taxType));
    if (!tax.taxationType.isNull())
        result.set_taxation_type(static_cast<ofd::proto::TaxationTypeEnum>(tax.taxationType.toInt()));
    result.set_percent(static_cast<uint32_t>(tax.percent));
    setMoney(result.mutable_sum(), tax.sum);
    result.set_is_in_total_sum(tax.isInTotalSumFlag);
    return result;
}

ofd::proto::TicketRequest_Modifier ProtoObjectFactory::createModifier(const Modifier& modifier)
{
    ofd::proto::TicketRequest_Modifier result;
    result.set_name(utf8(modifier.name));
    setMoney(result.mutable_sum(), modifier.sum);
    for (const Tax& tax : modifier.taxes)
        *result.add_taxes() = createTicketTax(tax);
    addAuxiliary(modifier.auxiliary, result.mutable_auxiliary());
    return result;
}

ofd::proto::Operator ProtoObjectFactory::createOperator(const OperatorCashier& cashier)
{
    ofd::proto::Operator result;
    result.set_code(static_cast<uint32_t>(cashier.code));
    result.set_name(utf8(cashier.name));
    return result;
}

ofd::proto::Money ProtoObjectFactory::createMoney(double amount)
{
    ofd::proto::Money result;
    result.set_bills(0);
    result.set_coins(0);
    if (!(amount > 0.005) || !std::isfinite(amount))
        return result;
    // Half a hundredth of a hundredth against the representation error of
    // doubles (0.29 is held as 0.28999...); it does not round up to a cent.
    const double hundredths = 100.0 * amount + 0.005;
    // Converting a double beyond the 64-bit range is undefined: such amounts
    // are refused like the others above.
    if (!(hundredths < 9223372036854775808.0))
        return result;
    const auto cents = static_cast<int64_t>(hundredths);
    result.set_bills(static_cast<uint64_t>(cents / 100));
    result.set_coins(static_cast<uint32_t>(cents % 100));
    return result;
}

ofd::proto::DateTime ProtoObjectFactory::createDateTime(const QDateTime& dateTime)
{
    // An invalid date reports 0 for its numbers and an invalid time -1; both
    // go out as they are.
    const QDate date = dateTime.date();
    const QTime time = dateTime.time();
    ofd::proto::DateTime result;
    ofd::proto::Date* d = result.mutable_date();
    d->set_year(static_cast<uint32_t>(date.year()));
    d->set_month(static_cast<uint32_t>(date.month()));
    d->set_day(static_cast<uint32_t>(date.day()));
    ofd::proto::Time* t = result.mutable_time();
    t->set_hour(static_cast<uint32_t>(time.hour()));
    t->set_minute(static_cast<uint32_t>(time.minute()));
    t->set_second(static_cast<uint32_t>(time.second()));
    return result;
}

ofd::proto::ZXReport ProtoObjectFactory::createZXReport(const ZXReport& report)
{
    ofd::proto::ZXReport result;
    setDateTime(result.mutable_date_time(), report.dateTime);
    setDateTime(result.mutable_open_shift_time(), report.openShiftTime);
    if (report.closeShiftTime.isValid())
        setDateTime(result.mutable_close_shift_time(), report.closeShiftTime);
    result.set_shift_number(static_cast<uint32_t>(report.shiftNumber));

    for (auto it = report.sections.cbegin(); it != report.sections.cend(); ++it) {
        ofd::proto::ZXReport_Section* section = result.add_sections();
        section->set_section_code(utf8(it.key()));
        for (int type : kOperationTypes)
            fillOperation(section->add_operations(), type, it.value().operations.value(type));
    }

    for (auto it = report.taxes.cbegin(); it != report.taxes.cend(); ++it) {
        ofd::proto::ZXReport_Tax* tax = result.add_taxes();
        tax->set_type(static_cast<ofd::proto::TaxTypeEnum>(it.value().type));
        tax->set_percent(static_cast<uint32_t>(it.key()));
        for (int type : kOperationTypes) {
            const TaxOperation operation = it.value().operations.value(type);
            *tax->add_operations() = createTaxOperation(type, operation.turnover, operation.sum);
        }
    }

    for (int type : kOperationTypes) {
        fillOperation(result.add_operations(), type, report.operations.value(type));
        fillOperation(result.add_discounts(), type, report.discounts.value(type));
        fillOperation(result.add_markups(), type, report.markups.value(type));
        fillOperation(result.add_total_result(), type, report.totalResult.value(type));
        fillNonNullableSum(result.add_start_shift_non_nullable_sums(), type,
                           report.startShiftNonNullableSums.value(type));
        fillNonNullableSum(result.add_non_nullable_sums(), type, report.nonNullableSums.value(type));
        fillTicketOperation(result.add_ticket_operations(), type, report.ticketOperations.value(type));
    }

    for (int type : kMoneyPlacementTypes) {
        const MoneyPlacement placement = report.moneyPlacements.value(type);
        ofd::proto::ZXReport_MoneyPlacement* entry = result.add_money_placements();
        entry->set_operation(static_cast<ofd::proto::MoneyPlacementEnum>(type));
        entry->set_operations_total_count(placement.operationsTotalCount);
        entry->set_operations_count(placement.operationsCount);
        setMoney(entry->mutable_operations_sum(), placement.operationsSum);
        entry->set_offline_count(placement.offlineCount);
    }

    setMoney(result.mutable_cash_sum(), report.cashSum);
    ofd::proto::ZXReport_Revenue* revenue = result.mutable_revenue();
    setMoney(revenue->mutable_sum(), std::fabs(report.revenue));
    revenue->set_is_negative(report.revenue < -0.005);

    // The checksum seals the encoding of everything above; it has the highest
    // field number, so the finished report is those bytes plus the checksum.
    const QByteArray bytes = serialize(result);
    const unsigned long long crc = numeric::calcCrc32(reinterpret_cast<const unsigned char*>(bytes.constData()),
                                                      static_cast<unsigned long>(bytes.size()));
    result.set_checksum(utf8(QString::number(crc)));
    return result;
}

ofd::proto::ZXReport_Tax_TaxOperation ProtoObjectFactory::createTaxOperation(int operation, double turnover,
                                                                               double taxSum)
{
    ofd::proto::ZXReport_Tax_TaxOperation result;
    result.set_operation(static_cast<ofd::proto::OperationTypeEnum>(operation));
    setMoney(result.mutable_turnover(), turnover);
    setMoney(result.mutable_sum(), taxSum);
    setMoney(result.mutable_turnover_without_tax(), turnover - taxSum);
    return result;
}

} // namespace taxvault
