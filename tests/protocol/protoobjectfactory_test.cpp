// Requests built from documents, pinned byte for byte: each expectation is
// written field by field in the wire encoding, independently of the
// generated classes, so a wrong field, a missing one or an extra one shows.

#include "wire.h"

#include "protocol/protoobjectfactory.h"

#include "documents/reportrequest.h"
#include "documents/servicerequest.h"
#include "documents/ticketrequest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using taxvault::ProtoObjectFactory;
using wire::dateTime;
using wire::ld;
using wire::money;
using wire::unsetDateTime;
using wire::v;

QJsonObject json(const char* text)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(text), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << text;
    return document.object();
}

std::string bytes(const google::protobuf::Message& message)
{
    const QByteArray encoded = ProtoObjectFactory::serialize(message);
    return std::string(encoded.constData(), size_t(encoded.size()));
}

ofd::proto::Request request(const QJsonObject& message)
{
    return MockFactory<ProtoObjectFactory>::create()->createRequest(message);
}

ofd::proto::TicketRequest ticket(const char* document)
{
    QJsonObject message{{"command", 1}, {"request", json(document)}};
    const ofd::proto::Request r = request(message);
    EXPECT_TRUE(r.has_ticket());
    return r.ticket();
}

const char* const kSale = R"({
    "operation": 2,
    "dateTime": "2024-03-01T12:30:05",
    "operatorCashier": {"code": 7, "name": "Айгуль"},
    "domain": {"type": 0},
    "items": [
        {"type": 1, "commodity": {"name": "Хлеб", "sectionCode": "1", "quantity": 2, "price": 150.5, "sum": 301,
                                  "taxes": [{"taxType": 100, "taxationType": 100, "percent": 12, "sum": 32.25,
                                             "isInTotalSumFlag": true}],
                                  "measureUnitCode": "796", "barcode": "4870001", "physicalLabel": "L"}},
        {"type": 1, "commodity": {"name": "Milk", "sectionCode": "2", "quantity": 1, "price": 450, "sum": 450,
                                  "exciseStamp": "EX1", "ntin": "N1", "measureUnitCode": "796",
                                  "auxiliary": {"k": "v"}},
         "modifier": {"name": "ignored", "sum": 1}}
    ],
    "payments": {"1": 251, "0": 500},
    "taxes": [{"taxType": 100, "taxationType": 100, "percent": 12, "sum": 80.46, "isInTotalSumFlag": true}],
    "amounts": {"total": 751, "taken": 600, "change": 100},
    "frShiftNumber": 15,
    "printedDocumentNumber": 1042,
    "kkmInfoObject": {"serviceStatus": 1}
})";

TEST(RequestFactory, SaleBody)
{
    const std::string tax12 = v(1, 100) + v(2, 100) + v(3, 12) + ld(4, money(32, 25)) + v(5, 1);
    const std::string receiptTax = v(1, 100) + v(2, 100) + v(3, 12) + ld(4, money(80, 46)) + v(5, 1);
    const std::string bread = ld(2, "Хлеб") + ld(3, "1") + v(4, 2) + ld(5, money(150, 50)) + ld(6, money(301, 0)) +
                              ld(7, tax12) + ld(13, "796") + ld(15, "");
    const std::string milk = ld(2, "Milk") + ld(3, "2") + v(4, 1) + ld(5, money(450, 0)) + ld(6, money(450, 0)) +
                             ld(9, ld(1, "k") + ld(2, "v")) + ld(13, "796") + ld(14, "EX1") + ld(15, "N1");
    const std::string expected =
        v(1, 2) + ld(2, dateTime(2024, 3, 1, 12, 30, 5)) + ld(3, v(1, 7) + ld(2, "Айгуль")) + ld(4, v(1, 0)) +
        ld(5, v(1, 1) + ld(2, bread)) + ld(5, v(1, 1) + ld(2, milk)) +
        ld(6, v(1, 0) + ld(2, money(500, 0))) + ld(6, v(1, 1) + ld(2, money(251, 0))) + ld(7, receiptTax) +
        ld(8, ld(1, money(751, 0)) + ld(2, money(600, 0)) + ld(3, money(100, 0))) + v(14, 15) + v(16, 1042);

    EXPECT_EQ(wire::toHex(bytes(ticket(kSale))), wire::toHex(expected));
}

TEST(RequestFactory, DepositBody)
{
    const QJsonObject message{{"command", 6},
                              {"request", json(R"({"dateTime": "2024-03-01T09:05:00", "operation": 0, "sum": 5000,
                                                   "frShiftNumber": 15, "operatorCashier": {"code": 7, "name": "Ivan"}})")}};
    const ofd::proto::Request r = request(message);
    ASSERT_TRUE(r.has_money_placement());
    EXPECT_EQ(wire::toHex(bytes(r.money_placement())),
              "0a 11 0a 07 08 e8 0f 10 03 18 01 12 06 08 09 10 05 18 00 " // date_time
              "10 00 "                                                    // operation
              "1a 05 08 88 27 10 00 "                                     // sum 5000.00
              "20 00 "                                                    // is_offline
              "28 0f "                                                    // fr_shift_number
              "3a 08 08 07 12 04 49 76 61 6e");                           // operator
    EXPECT_FALSE(r.has_command());
    EXPECT_FALSE(r.has_service());
}

TEST(RequestFactory, CloseShiftAndReportBodies)
{
    const char* const zReport = R"({"dateTime": "2024-03-01T23:00:00", "openShiftTime": "2024-03-01T08:00:00",
        "shiftNumber": 15, "operations": {"2": {"count": 3, "sum": 751}}, "cashSum": 500, "revenue": 751})";
    const QJsonObject report = json(zReport);
    const std::string zx = bytes(ProtoObjectFactory::createZXReport(
        taxvault::ReportRequest::fromJson(QJsonObject{{"zxReport", report}}).zxReport));

    QJsonObject closeShift = json(R"({"closeTime": "2024-03-01T23:00:00", "isOfflineFlag": false,
        "frShiftNumber": 15, "withdrawMoney": true, "printedDocumentNumber": 1043,
        "operatorCashier": {"code": 7, "name": ""}})");
    closeShift.insert("zReport", report);
    ofd::proto::Request r = request(QJsonObject{{"command", 2}, {"request", closeShift}});
    ASSERT_TRUE(r.has_close_shift());
    EXPECT_EQ(wire::toHex(bytes(r.close_shift())),
              wire::toHex(ld(1, dateTime(2024, 3, 1, 23, 0, 0)) + v(2, 0) + v(3, 15) + v(4, 1) + ld(5, zx) +
                          ld(6, v(1, 7) + ld(2, "")) + v(7, 1043)));

    QJsonObject xReport = json(R"({"report": 1, "dateTime": "2024-03-01T18:00:00", "isOfflineFlag": true,
                                   "wasInit": true})");
    xReport.insert("zxReport", report);
    r = request(QJsonObject{{"command", 3}, {"request", xReport}});
    ASSERT_TRUE(r.has_report());
    EXPECT_EQ(wire::toHex(bytes(r.report())),
              wire::toHex(v(1, 1) + ld(2, dateTime(2024, 3, 1, 18, 0, 0)) + v(3, 1) + ld(4, zx)));
}

TEST(RequestFactory, ServicePart)
{
    const auto document = taxvault::ServiceRequest::fromJson(json(R"({
        "offlinePeriod": {"beginTime": "2024-03-01T10:00:00"},
        "auxiliary": {"b": 1, "a": "x"},
        "regInfo": {"kkm": {"pointOfPaymentNumber": "", "terminalNumber": "T1", "serialNumber": "SN1", "kkmId": "42"},
                    "org": {"title": "ТОО", "inn": "123456789012"},
                    "pos": {"title": "Shop"}},
        "securityStats": {"geoPosition": {"latitude": 43, "longitude": 76, "source": "gps"}},
        "commQuality": {"avgConnectTime": 5},
        "softwareInformation": {"osFamily": "linux"},
        "ticketAdInfos": [{"type": 1, "version": 2}],
        "getBindedTaxation": true
    })"));
    const ofd::proto::ServiceRequest s = MockFactory<ProtoObjectFactory>::create()->createServiceRequest(document);
    const std::string org = ld(1, "ТОО") + ld(2, "") + ld(3, "123456789012") + ld(5, "") + ld(6, "");
    const std::string expected =
        ld(3, ld(1, v(1, 43) + v(2, 76) + ld(3, "gps"))) +
        ld(4, ld(1, dateTime(2024, 3, 1, 10, 0, 0)) + ld(2, unsetDateTime())) + v(7, 1) +
        ld(12, ld(1, ld(2, "T1") + ld(3, "") + ld(4, "SN1") + ld(5, "42")) + ld(2, org)) +
        ld(60, ld(1, "a") + ld(2, "x")) + ld(60, ld(1, "b") + ld(2, "1"));
    EXPECT_EQ(wire::toHex(bytes(s)), wire::toHex(expected));

    // The request envelope the core builds: command first, then the service part.
    ofd::proto::Request r;
    r.set_command(ofd::proto::COMMAND_SYSTEM);
    *r.mutable_service() = s;
    EXPECT_EQ(bytes(r), v(1, 0) + ld(6, expected));
}

TEST(RequestFactory, ServicePartOptionalFields)
{
    auto document = taxvault::ServiceRequest::fromJson(json(R"({"nomenclatureVersion": 3, "getRegInfoFlag": false})"));
    ofd::proto::ServiceRequest s = MockFactory<ProtoObjectFactory>::create()->createServiceRequest(document);
    EXPECT_TRUE(s.has_nomenclature_version());
    EXPECT_EQ(s.nomenclature_version(), 3u);
    EXPECT_TRUE(s.has_get_reg_info());
    EXPECT_FALSE(s.get_reg_info());
    EXPECT_FALSE(s.reg_info().kkm().has_terminal_number());
    EXPECT_TRUE(s.reg_info().kkm().has_fns_kkm_id());

    document = taxvault::ServiceRequest::fromJson(QJsonObject());
    s = MockFactory<ProtoObjectFactory>::create()->createServiceRequest(document);
    EXPECT_FALSE(s.has_nomenclature_version());
    EXPECT_TRUE(s.get_reg_info());
    EXPECT_FALSE(s.has_get_binded_taxation());
}

TEST(RequestFactory, CommandsWithoutBody)
{
    const QJsonObject body = json(kSale);
    const QJsonValue commands[] = {0, 4, 5, 7, 127, -1, 1.5, "1", QJsonValue(), QJsonValue::Undefined};
    for (const QJsonValue& command : commands) {
        SCOPED_TRACE(QJsonDocument(QJsonArray{command}).toJson(QJsonDocument::Compact).toStdString());
        QJsonObject message{{"request", body}};
        if (!command.isUndefined())
            message.insert("command", command);
        EXPECT_EQ(request(message).ByteSizeLong(), 0u);
    }
}

TEST(RequestFactory, BodyFromMissingDocument)
{
    // No "request", or one that is not an object: the body of an all-default document.
    const QJsonValue documents[] = {QJsonValue::Undefined, QJsonValue(5), QJsonValue(QJsonArray{1})};
    for (const QJsonValue& document : documents) {
        QJsonObject message{{"command", 1}};
        if (!document.isUndefined())
            message.insert("request", document);
        const ofd::proto::Request r = request(message);
        EXPECT_EQ(wire::toHex(bytes(r)),
                  wire::toHex(ld(2, v(1, 2) + ld(2, unsetDateTime()) + ld(3, v(1, 0) + ld(2, "")) +
                                        ld(4, v(1, 0)) + ld(8, ld(1, money(0, 0))))));
    }

    struct Case
    {
        int command;
        bool (ofd::proto::Request::*has)() const;
    };
    const Case cases[] = {{2, &ofd::proto::Request::has_close_shift},
                          {3, &ofd::proto::Request::has_report},
                          {6, &ofd::proto::Request::has_money_placement}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const ofd::proto::Request r = request(QJsonObject{{"command", c.command}});
        EXPECT_TRUE((r.*c.has)());
        EXPECT_FALSE(r.has_ticket());
        EXPECT_FALSE(r.has_command());
    }
}

TEST(RequestFactory, ValuesOutsideEnumerationsTravelUnchanged)
{
    const ofd::proto::TicketRequest t = ticket(R"({
        "operation": 7,
        "domain": {"type": -1},
        "items": [{"type": 9, "commodity": {"name": "x"}, "modifier": {"name": "y"}}],
        "payments": {"2": 10},
        "taxes": [{"taxType": 5, "taxationType": 0, "percent": 12, "sum": 1}]
    })");
    const std::string expected =
        v(1, 7) + ld(2, unsetDateTime()) + ld(3, v(1, 0) + ld(2, "")) +
        ld(4, v(1, uint64_t(int64_t(-1)))) +       // sign-extended, as the runtime writes negative enums
        ld(5, v(1, 9)) +                           // type alone, no body
        ld(6, v(1, 2) + ld(2, money(10, 0))) +
        ld(7, v(1, 5) + v(2, 0) + v(3, 12) + ld(4, money(1, 0)) + v(5, 0)) + ld(8, ld(1, money(0, 0)));
    EXPECT_EQ(wire::toHex(bytes(t)), wire::toHex(expected));
}

// A free number beyond the frame field's range would keep its low bits and be
// another valid value: it is sent as a text that is no number is, 0.
TEST(RequestFactory, FreeNumbersOutsideTheirFieldTravelAsNoNumber)
{
    struct Case
    {
        const char* value;
        uint64_t shift;      // fr_shift_number, 32 bits
        uint64_t printed;    // printed_document_number, 64 bits
    };
    const Case cases[] = {
        {"15", 15, 15},
        {"4294967295", 4294967295u, 4294967295u},
        {"4294967299", 0, 4294967299u},
        {"-1", 0, 0},
        {"1e30", 0, 0},
        {"\"abc\"", 0, 0},
        {"\"4294967299\"", 0, 4294967299u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const QByteArray document =
            QStringLiteral(R"({"frShiftNumber": %1, "printedDocumentNumber": %1})").arg(QLatin1String(c.value)).toUtf8();
        const ofd::proto::TicketRequest t = ticket(document.constData());
        EXPECT_EQ(t.fr_shift_number(), c.shift);
        EXPECT_EQ(t.printed_document_number(), c.printed);
    }
}

TEST(RequestFactory, ItemBodies)
{
    const ofd::proto::TicketRequest t = ticket(R"({"items": [
        {"type": 2, "commodity": {"name": "c", "quantity": -1, "exciseStamp": "E"}, "modifier": {"name": "m"}},
        {"type": 3, "commodity": {"name": "c"}, "modifier": {"name": "", "sum": 5,
                                                             "taxes": [{"percent": 12, "sum": 0.54}],
                                                             "auxiliary": {"z": true}}},
        {"type": 4, "modifier": {"name": "m4"}},
        {"type": 5, "modifier": {"name": "m5"}},
        {"type": 6, "modifier": {"name": "m6"}},
        {"type": 1, "commodity": {"name": "", "quantity": 3, "exciseStamp": ""}}
    ]})");
    ASSERT_EQ(t.items_size(), 6);
    const std::string modifier3 = ld(1, "") + ld(2, money(5, 0)) +
                                  ld(3, v(1, 100) + v(3, 12) + ld(4, money(0, 54)) + v(5, 0)) +
                                  ld(4, ld(1, "z") + ld(2, "true"));
    const std::string expected[] = {
        v(1, 2) + ld(3, ld(1, "c") + ld(2, "") + v(3, UINT64_MAX) + ld(4, money(0, 0)) + ld(5, money(0, 0)) +
                            ld(12, "") + ld(13, "E") + ld(14, "")),
        v(1, 3) + ld(4, modifier3),
        v(1, 4) + ld(5, ld(1, "m4") + ld(2, money(0, 0))),
        v(1, 5) + ld(6, ld(1, "m5") + ld(2, money(0, 0))),
        v(1, 6) + ld(7, ld(1, "m6") + ld(2, money(0, 0))),
        v(1, 1) + ld(2, ld(2, "") + ld(3, "") + v(4, 3) + ld(5, money(0, 0)) + ld(6, money(0, 0)) + ld(13, "") +
                            ld(15, "")),
    };
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(wire::toHex(bytes(t.items(i))), wire::toHex(expected[i]));
    }
}

TEST(RequestFactory, OptionalReceiptParts)
{
    ofd::proto::TicketRequest t = ticket(R"({
        "payments": {"4": 10.0, "0": 5.5},
        "taxes": [{"percent": 0}],
        "amounts": {"total": 15.5, "markup": {"name": "up", "sum": 1}, "discount": {"sum": 2}},
        "extensionOptions": {},
        "parentTicket": {"number": "P1", "dateTime": "2024-02-29T10:00:00", "kkmId": "K", "sum": 15.5,
                         "isOffline": true},
        "offlineTicketNumber": 1709280000,
        "frShiftNumber": 0,
        "printedDocumentNumber": "abc"
    })");
    EXPECT_EQ(wire::toHex(bytes(t.amounts())),
              wire::toHex(ld(1, money(15, 50)) + ld(4, ld(1, "up") + ld(2, money(1, 0))) +
                          ld(5, ld(1, "") + ld(2, money(2, 0)))));
    ASSERT_EQ(t.payments_size(), 2);
    EXPECT_EQ(t.payments(0).type(), 0);
    EXPECT_EQ(t.payments(1).type(), 4);
    EXPECT_FALSE(t.taxes(0).has_taxation_type());
    EXPECT_TRUE(t.has_extension_options());
    EXPECT_EQ(t.extension_options().ByteSizeLong(), 0u);
    EXPECT_EQ(wire::toHex(bytes(t.parent_ticket())),
              wire::toHex(ld(1, "P1") + ld(2, dateTime(2024, 2, 29, 10, 0, 0)) + ld(3, "K") +
                          ld(4, money(15, 50)) + v(5, 1)));
    EXPECT_EQ(t.offline_ticket_number(), 1709280000u);
    EXPECT_TRUE(t.has_fr_shift_number());
    EXPECT_EQ(t.fr_shift_number(), 0u);
    // A value that is no number still counts as given.
    EXPECT_TRUE(t.has_printed_document_number());
    EXPECT_EQ(t.printed_document_number(), 0u);
    EXPECT_FALSE(t.has_printed_ticket());

    t = ticket(R"({"extensionOptions": {"customerEmail": "a@b.kz", "customerPhone": "", "customerIinOrBin": "9",
                                        "auxiliary": {"x": 1}}, "frShiftNumber": null})");
    EXPECT_EQ(wire::toHex(bytes(t.extension_options())),
              wire::toHex(ld(1, "a@b.kz") + ld(3, ld(1, "x") + ld(2, "1")) + ld(4, "9")));
    EXPECT_FALSE(t.has_fr_shift_number());
    EXPECT_FALSE(t.has_parent_ticket());
    EXPECT_FALSE(t.has_offline_ticket_number());
}

TEST(RequestFactory, MoneyRule)
{
    struct Case
    {
        double amount;
        uint64_t bills;
        uint32_t coins;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {12.34, 12, 34},
        {0.29, 0, 29},
        {12.996, 12, 99},
        {0.0099, 0, 0},
        {0.01, 0, 1},
        {0.005, 0, 0},
        {0.0051, 0, 0},
        {0, 0, 0},
        {-0.0, 0, 0},
        {-5, 0, 0},
        {2.9999999999999996, 3, 0},
        {0.9999999, 1, 0},
        {1e15, 1000000000000000ull, 0},
        // Beyond what 64-bit hundredths can hold, and not numbers at all.
        {92233720368547758.0, 0, 0},
        {1e300, 0, 0},
        {inf, 0, 0},
        {-inf, 0, 0},
        {std::nan(""), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.amount);
        const ofd::proto::Money m = ProtoObjectFactory::createMoney(c.amount);
        EXPECT_EQ(wire::toHex(bytes(m)), wire::toHex(money(c.bills, c.coins)));
    }
}

TEST(RequestFactory, DateTimeRule)
{
    struct Case
    {
        const char* name;
        QDateTime value;
        std::string expected;
    };
    const Case cases[] = {
        {"unset", QDateTime(), unsetDateTime()},
        {"milliseconds dropped", QDateTime(QDate(2024, 3, 1), QTime(23, 59, 59, 999)), dateTime(2024, 3, 1, 23, 59, 59)},
        {"UTC is not converted", QDateTime(QDate(2024, 3, 1), QTime(23, 30, 0), QTimeZone::utc()),
         dateTime(2024, 3, 1, 23, 30, 0)},
        {"fixed offset is not converted", QDateTime(QDate(2024, 12, 31), QTime(0, 0, 1), QTimeZone(5 * 3600)),
         dateTime(2024, 12, 31, 0, 0, 1)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wire::toHex(bytes(ProtoObjectFactory::createDateTime(c.value))), wire::toHex(c.expected));
    }

    // A text that is no date-time reaches the factory as an unset value.
    const ofd::proto::TicketRequest t = ticket(R"({"dateTime": "yesterday"})");
    EXPECT_EQ(bytes(t.date_time()), unsetDateTime());
}

TEST(RequestFactory, SerializeDoesNotTestRequiredFields)
{
    ofd::proto::Request r;
    r.mutable_ticket()->mutable_amounts();
    ASSERT_FALSE(r.IsInitialized());
    EXPECT_EQ(wire::toHex(bytes(r)), "12 02 42 00");
    EXPECT_TRUE(ProtoObjectFactory::serialize(ofd::proto::Request()).isEmpty());
}

} // namespace
