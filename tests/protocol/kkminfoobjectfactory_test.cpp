// Answers of the operator's server turned into reply JSON and documents.

#include "wire.h"

#include "protocol/kkminfoobjectfactory.h"

#include "documents/documentmapping.h"
#include "documents/serviceresponse.h"
#include "documents/zxreport.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <functional>

namespace {

using taxvault::KkmInfoObjectFactory;

const char* const kStatus =
    R"("kkmInfoObject":{"data":"","errorMessage":"","lockDate":"","offlineModeReason":0,"serviceStatus":0,)"
    R"("serviceStatusByDbState":0})";

std::string compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

ofd::proto::Response fullAnswer()
{
    ofd::proto::Response r;
    r.set_command(ofd::proto::COMMAND_TICKET);
    r.mutable_result()->set_result_code(0);
    r.mutable_ticket()->set_ticket_number("42");
    r.mutable_ticket()->set_qr_code(std::string("abc\0d", 5));
    r.mutable_report()->set_report(ofd::proto::REPORT_X);
    r.mutable_report()->mutable_zx_report()->set_shift_number(15);
    r.mutable_service()->mutable_reg_info()->mutable_kkm()->set_kkm_id("77");
    r.mutable_nomenclature()->set_version(3);
    r.mutable_auth()->set_operator_code(5);
    return r;
}

QJsonObject reply(const ofd::proto::Response& response, int command)
{
    return MockFactory<KkmInfoObjectFactory>::create()->responseToJson(response, command);
}

TEST(AnswerFactory, ReplyPerCommand)
{
    struct Case
    {
        const char* name;
        std::function<ofd::proto::Response()> answer;
        int command;
        std::function<void(const QJsonObject&)> check;
    };
    auto exactly = [](std::string expected) {
        return [expected](const QJsonObject& o) { EXPECT_EQ(compact(o), expected); };
    };
    auto isReport = [](int report, int shift) {
        return [report, shift](const QJsonObject& o) {
            EXPECT_EQ(o.keys(), (QStringList{"kkmInfoObject", "report", "zxReport"}));
            EXPECT_EQ(o.value("report").toInt(), report);
            EXPECT_EQ(o.value("zxReport").toObject().value("shiftNumber").toInt(), shift);
        };
    };
    const Case cases[] = {
        {"nomenclature", fullAnswer, 4, exactly("{}")},
        {"reserved number 7", fullAnswer, 7, exactly("{}")},
        {"auth", fullAnswer, 8, exactly("{}")},
        {"reserved command", fullAnswer, 127, exactly("{}")},
        {"negative command counts as large", fullAnswer, -1, exactly("{}")},
        {"money placement reads nothing of the answer", fullAnswer, 6, exactly(std::string("{") + kStatus + "}")},
        {"ticket: qr code cut at the first zero byte", fullAnswer, 1,
         exactly(std::string("{") + kStatus + R"(,"qrCode":"abc","ticketNumber":"42"})")},
        {"ticket: qr code without zero taken whole",
         [] {
             auto r = fullAnswer();
             r.mutable_ticket()->set_qr_code("https://qr/1");
             return r;
         },
         1, exactly(std::string("{") + kStatus + R"(,"qrCode":"https://qr/1","ticketNumber":"42"})")},
        {"ticket: answer without ticket", [] { return ofd::proto::Response(); }, 1,
         exactly(std::string("{") + kStatus + R"(,"qrCode":null,"ticketNumber":""})")},
        {"ticket: cyrillic number", [] {
             ofd::proto::Response r;
             r.mutable_ticket()->set_ticket_number("№7");
             return r;
         },
         1, exactly(std::string("{") + kStatus + R"(,"qrCode":null,"ticketNumber":"№7"})")},
        {"close shift", fullAnswer, 2, isReport(1, 15)},
        {"report", fullAnswer, 3, isReport(1, 15)},
        {"info reads like a report", fullAnswer, 5, isReport(1, 15)},
        {"report: answer without report", [] { return ofd::proto::Response(); }, 3, isReport(0, 0)},
        {"system", fullAnswer, 0,
         [](const QJsonObject& o) {
             EXPECT_EQ(o.keys(), (QStringList{"auxiliary", "kkmInfoObject", "regInfo", "ticketAds"}));
             EXPECT_EQ(o.value("regInfo").toObject().value("kkm").toObject().value("kkmId").toString(), "77");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.check(reply(c.answer(), c.command));
    }
}

TEST(AnswerFactory, ServiceResponse)
{
    ofd::proto::ServiceResponse s;
    auto* ad = s.add_ticket_ads();
    ad->mutable_info()->set_type(ofd::proto::TICKET_AD_KKM);
    ad->mutable_info()->set_version(9000000000ull);
    ad->set_text("Спасибо");
    auto* reg = s.mutable_reg_info();
    reg->mutable_kkm()->set_point_of_payment_number("P");
    reg->mutable_kkm()->set_serial_number("SN");
    reg->mutable_org()->set_title("ТОО");
    reg->mutable_org()->set_address_kz("K");
    auto* taxation = s.mutable_binded_taxation();
    taxation->set_type(ofd::proto::RTS);
    taxation->add_taxes()->set_percent(12);
    taxation->add_taxes()->set_percent(0);
    s.mutable_last_document_info()->set_fr_shift_number(4294967295u);
    s.mutable_last_document_info()->set_printed_document_number(18446744073709551615ull);
    auto* pair = s.add_auxiliary();
    pair->set_key("k");
    pair->set_value("first");
    pair = s.add_auxiliary();
    pair->set_key("k");
    pair->set_value("second");
    s.add_auxiliary()->set_key("empty");

    const taxvault::ServiceResponse doc = MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(s);
    EXPECT_EQ(compact(doc.toJson()),
              std::string(R"({"auxiliary":{"empty":"","k":"second"},)") +
                  R"("bindedTaxation":{"taxes":[{"percent":12,"type":100},{"percent":0,"type":100}],"type":101},)" +
                  kStatus +
                  R"(,"lastDocumentInfo":{"frShiftNumber":-1,"printedDocumentNumber":-1},)"
                  R"("regInfo":{"kkm":{"fnsKkmId":"","kkmId":"","pointOfPaymentNumber":"P","serialNumber":"SN",)"
                  R"("terminalNumber":""},"org":{"address":"","addressKz":"K","inn":"","okved":"","title":"ТОО"}},)"
                  R"("ticketAds":[{"info":{"type":3,"version":9000000000},"text":"Спасибо"}]})");

    reg->mutable_pos();
    const taxvault::ServiceResponse withPos = MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(s);
    ASSERT_TRUE(withPos.regInfo.pos.has_value());
    EXPECT_EQ(compact(withPos.toJson().value("regInfo").toObject().value("pos").toObject()),
              R"({"address":"","addressKz":"","latitude":0,"longitude":0,"title":""})");

    // An answer without a service part reads as the default instance.
    EXPECT_EQ(MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(ofd::proto::ServiceResponse()),
              taxvault::ServiceResponse());
}

TEST(AnswerFactory, ReverseMoneyRule)
{
    struct Case
    {
        uint64_t bills;
        uint32_t coins;
        bool present;
        double amount;
    };
    const Case cases[] = {{12, 5, true, 12.05}, {1, 150, true, 2.5}, {0, 0, false, 0}, {0, 99, true, 0.99}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.amount);
        ofd::proto::ZXReport report;
        if (c.present) {
            report.mutable_cash_sum()->set_bills(c.bills);
            report.mutable_cash_sum()->set_coins(c.coins);
        }
        EXPECT_DOUBLE_EQ(KkmInfoObjectFactory::createZXReport(report).cashSum, c.amount);
    }
}

TEST(AnswerFactory, ReportFromAnswer)
{
    ofd::proto::ZXReport r;
    r.mutable_revenue()->mutable_sum()->set_bills(3);
    r.mutable_revenue()->mutable_sum()->set_coins(50);
    r.mutable_revenue()->set_is_negative(true);
    for (uint32_t count : {1u, 2u}) {
        auto* op = r.add_operations();
        op->set_operation(ofd::proto::OPERATION_SELL);
        op->set_count(count);
    }
    auto* placement = r.add_money_placements();
    placement->set_operation(ofd::proto::MONEY_PLACEMENT_WITHDRAWAL);
    placement->set_operations_count(4);
    auto* ticketOperation = r.add_ticket_operations();
    ticketOperation->set_operation(ofd::proto::OPERATION_BUY);
    auto* payment = ticketOperation->add_payments();
    payment->set_payment(ofd::proto::PAYMENT_MOBILE);
    payment->set_count(6);
    r.set_checksum("123");

    taxvault::ZXReport doc = KkmInfoObjectFactory::createZXReport(r);
    EXPECT_DOUBLE_EQ(doc.revenue, -3.5);
    ASSERT_EQ(doc.operations.size(), 1);
    EXPECT_EQ(doc.operations.value(2).count, 2u);
    EXPECT_EQ(doc.moneyPlacements.keys(), QList<int>{1});
    EXPECT_EQ(doc.ticketOperations.value(0).payments.value(4).count, 6u);
    EXPECT_FALSE(doc.closeShiftTime.isValid());
    EXPECT_TRUE(doc.discounts.isEmpty());

    r.mutable_revenue()->set_is_negative(false);
    r.mutable_close_shift_time()->mutable_date()->set_year(2024);
    r.mutable_close_shift_time()->mutable_date()->set_month(3);
    r.mutable_close_shift_time()->mutable_date()->set_day(1);
    r.mutable_close_shift_time()->mutable_time()->set_hour(23);
    r.mutable_close_shift_time()->mutable_time()->set_minute(59);
    r.mutable_close_shift_time()->mutable_time()->set_second(59);
    doc = KkmInfoObjectFactory::createZXReport(r);
    EXPECT_DOUBLE_EQ(doc.revenue, 3.5);
    EXPECT_EQ(doc.closeShiftTime, QDateTime(QDate(2024, 3, 1), QTime(23, 59, 59)));
    EXPECT_EQ(doc.closeShiftTime.timeSpec(), Qt::LocalTime);
}

// Each element below names an enumeration value the schema declares and then one it does not (a
// value added on the server later): the second is parsed with its enumeration field unset and must
// not land on the first value's entry.
TEST(AnswerFactory, ElementsWithUndeclaredEnumerationValuesAreSkipped)
{
    using wire::ld;
    using wire::money;
    using wire::v;
    const auto operation = [](uint64_t type, uint64_t count, uint64_t bills) {
        return v(1, type) + v(2, count) + ld(3, money(bills, 0));
    };
    const std::string buy = operation(0, 1, 10);
    const std::string unknown = operation(4, 7, 999);
    const std::string buyExpected = R"({"0":{"count":1,"sum":10}})";
    const auto sum = [](uint64_t type, uint64_t bills) { return v(1, type) + ld(2, money(bills, 0)); };
    const auto payment = [](uint64_t type, uint64_t bills, uint64_t count) {
        return v(1, type) + ld(2, money(bills, 0)) + v(3, count);
    };
    const auto placement = [](uint64_t type, uint64_t count, uint64_t bills) {
        return v(1, type) + v(2, count) + v(3, count) + ld(4, money(bills, 0)) + v(5, 0);
    };
    const auto taxOperation = [](uint64_t type, uint64_t bills) {
        return v(1, type) + ld(2, money(bills, 0)) + ld(3, money(1, 0)) + ld(4, money(bills - 1, 0));
    };

    struct Case
    {
        const char* name;
        std::string report; // ZXReport fields
        const char* path;
        std::string expected;
    };
    const Case cases[] = {
        {"operations", ld(4, buy) + ld(4, unknown), "operations", buyExpected},
        {"discounts", ld(5, buy) + ld(5, unknown), "discounts", buyExpected},
        {"markups", ld(6, buy) + ld(6, unknown), "markups", buyExpected},
        {"total result", ld(7, buy) + ld(7, unknown), "totalResult", buyExpected},
        {"section operations", ld(3, ld(1, "1") + ld(2, buy) + ld(2, unknown)), "sections",
         R"({"1":{"operations":{"0":{"count":1,"sum":10}}}})"},
        {"sums at shift start", ld(9, sum(0, 10)) + ld(9, sum(4, 999)), "startShiftNonNullableSums",
         R"({"0":10})"},
        {"non-nullable sums", ld(15, sum(0, 10)) + ld(15, sum(4, 999)), "nonNullableSums", R"({"0":10})"},
        {"ticket operations", ld(10, v(1, 0) + v(2, 1)) + ld(10, v(1, 4) + v(2, 7)), "ticketOperations",
         R"({"0":{"changeSum":0,"discountSum":0,"markupSum":0,"offlineCount":0,"payments":{},)"
         R"("ticketsCount":0,"ticketsSum":0,"ticketsTotalCount":1}})"},
        {"payment types", ld(10, v(1, 2) + ld(5, payment(0, 10, 1)) + ld(5, payment(2, 999, 7))),
         "ticketOperations/2/payments", buyExpected},
        {"cash placements", ld(11, placement(0, 1, 10)) + ld(11, placement(2, 7, 999)), "moneyPlacements",
         R"({"0":{"offlineCount":0,"operationsCount":1,"operationsSum":10,"operationsTotalCount":1}})"},
        {"tax operations",
         ld(8, v(1, 100) + v(2, 12) + ld(3, taxOperation(0, 10)) + ld(3, taxOperation(4, 999))), "taxes",
         R"({"12":{"operations":{"0":{"sum":1,"turnover":10,"turnoverWithoutTax":9}},"type":100}})"},
        {"tax types", ld(8, v(1, 100) + v(2, 12)) + ld(8, v(1, 5) + v(2, 12) + ld(3, taxOperation(0, 999))),
         "taxes", R"({"12":{"operations":{},"type":100}})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ofd::proto::ZXReport report;
        ASSERT_TRUE(report.ParsePartialFromString(c.report));
        QJsonValue value = taxvault::toJsonObject(KkmInfoObjectFactory::createZXReport(report));
        for (const QString& step : QString::fromLatin1(c.path).split(QLatin1Char('/')))
            value = value.toObject().value(step);
        EXPECT_EQ(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).toStdString(),
                  "[" + c.expected + "]");
    }

    // The same for the types of advertisements in the service part.
    const auto ad = [](uint64_t type, uint64_t version) {
        return ld(1, ld(1, v(1, type) + v(2, version)) + ld(2, "t"));
    };
    ofd::proto::ServiceResponse service;
    ASSERT_TRUE(service.ParsePartialFromString(ad(3, 5) + ad(9, 100) + ld(1, ld(2, "no info"))));
    const taxvault::ServiceResponse document =
        MockFactory<KkmInfoObjectFactory>::create()->createServiceResponse(service);
    ASSERT_EQ(document.ticketAds.size(), 1);
    EXPECT_EQ(document.ticketAds.at(0).info.type, 3);
    EXPECT_EQ(document.ticketAds.at(0).info.version, 5);
}

TEST(AnswerFactory, ReverseDateTimeRule)
{
    struct Case
    {
        const char* name;
        std::string bytes;
        QDateTime expected;
    };
    using wire::ld;
    using wire::v;
    const std::string date = ld(1, v(1, 2024) + v(2, 3) + v(3, 1));
    const Case cases[] = {
        {"date and time", wire::dateTime(2024, 3, 1, 23, 59, 59), QDateTime(QDate(2024, 3, 1), QTime(23, 59, 59))},
        {"date without time is midnight", date, QDateTime(QDate(2024, 3, 1), QTime(0, 0))},
        {"time without second", date + ld(2, v(1, 23) + v(2, 59)), QDateTime(QDate(2024, 3, 1), QTime(23, 59, 0))},
        {"neither part", "", QDateTime()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ofd::proto::DateTime message;
        ASSERT_TRUE(message.ParsePartialFromString(c.bytes));
        const QDateTime value = KkmInfoObjectFactory::toQDateTime(message);
        EXPECT_EQ(value, c.expected);
        EXPECT_EQ(value.isNull(), c.expected.isNull());
        if (c.expected.isValid())
            EXPECT_EQ(value.timeSpec(), Qt::LocalTime);
    }
}

} // namespace
