// Answers of the operator's server turned into reply JSON and documents.

#include "wire.h"

#include "protocol/kkminfoobjectfactory.h"

#include "documents/serviceresponse.h"
#include "documents/zxreport.h"

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
    auto* payment = r.add_ticket_operations()->add_payments();
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
