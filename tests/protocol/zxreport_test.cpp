// The report sent with a shift closing or a report request: fixed shape
// whatever the document holds, and a checksum over its own encoding.

#include "wire.h"

#include "protocol/kkminfoobjectfactory.h"
#include "protocol/protoobjectfactory.h"

#include "documents/reportrequest.h"
#include "documents/zxreport.h"

#include "utility/numeric.h"

#include <QJsonDocument>

#include <gtest/gtest.h>

#include <string>

namespace {

using taxvault::ProtoObjectFactory;
using wire::ld;
using wire::money;
using wire::unsetDateTime;
using wire::v;

std::string bytes(const google::protobuf::Message& message)
{
    const QByteArray encoded = ProtoObjectFactory::serialize(message);
    return std::string(encoded.constData(), size_t(encoded.size()));
}

unsigned long long crc(const std::string& data)
{
    return numeric::calcCrc32(reinterpret_cast<const unsigned char*>(data.data()), (unsigned long)data.size());
}

taxvault::ZXReport document(const char* text)
{
    const QJsonObject report = QJsonDocument::fromJson(QByteArray(text)).object();
    return taxvault::ReportRequest::fromJson(QJsonObject{{"zxReport", report}}).zxReport;
}

std::string withoutChecksum(ofd::proto::ZXReport report)
{
    report.clear_checksum();
    return bytes(report);
}

TEST(ZXReportConversion, Crc32TestVector)
{
    EXPECT_EQ(crc("123456789"), 3421780262ull);
}

TEST(ZXReportConversion, EmptyDocumentGivesTheFixedShape)
{
    const std::string m0 = ld(2, money(0, 0));
    std::string expected = ld(1, unsetDateTime()) + v(2, 0);
    for (int field : {4, 5, 6, 7})
        for (int t = 0; t < 4; ++t)
            expected += ld(field, v(1, t) + v(2, 0) + ld(3, money(0, 0)));
    for (int t = 0; t < 4; ++t)
        expected += ld(9, v(1, t) + m0);
    for (int t = 0; t < 4; ++t) {
        std::string op = v(1, t) + v(2, 0) + v(3, 0) + ld(4, money(0, 0));
        for (int p : {0, 1, 4})
            op += ld(5, v(1, p) + ld(2, money(0, 0)) + v(3, 0));
        op += v(6, 0) + ld(7, money(0, 0)) + ld(8, money(0, 0)) + ld(9, money(0, 0));
        expected += ld(10, op);
    }
    for (int m = 0; m < 2; ++m)
        expected += ld(11, v(1, m) + v(2, 0) + v(3, 0) + ld(4, money(0, 0)) + v(5, 0));
    expected += ld(13, money(0, 0)) + ld(14, ld(1, money(0, 0)) + v(2, 0));
    for (int t = 0; t < 4; ++t)
        expected += ld(15, v(1, t) + m0);
    expected += ld(16, unsetDateTime());

    const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(taxvault::ZXReport());
    const std::string checksum = std::to_string(crc(expected));
    EXPECT_EQ(wire::toHex(bytes(report)), wire::toHex(expected + ld(18, checksum)));
    EXPECT_FALSE(report.has_close_shift_time());
    EXPECT_TRUE(report.IsInitialized());
}

TEST(ZXReportConversion, ChecksumSealsTheEncoding)
{
    const char* const text = R"({
        "dateTime": "2024-03-01T23:00:00", "openShiftTime": "2024-03-01T08:00:00", "shiftNumber": 15,
        "sections": {"1": {"operations": {"2": {"count": 4, "sum": 751.25}}}},
        "operations": {"2": {"count": 3, "sum": 150.5}, "3": {"count": 1, "sum": 20}},
        "taxes": {"12": {"operations": {"2": {"turnover": 100, "sum": 12}}}},
        "ticketOperations": {"2": {"ticketsTotalCount": 40, "ticketsCount": 3, "ticketsSum": 150.5,
                                   "payments": {"0": {"sum": 100, "count": 2}, "1": {"sum": 50.5, "count": 1}}}},
        "moneyPlacements": {"0": {"operationsTotalCount": 2, "operationsCount": 1, "operationsSum": 5000}},
        "cashSum": 5100, "revenue": 130.5
    })";
    const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(document(text));
    ASSERT_TRUE(report.has_checksum());
    EXPECT_EQ(report.checksum(), std::to_string(crc(withoutChecksum(report))));
    // The finished report is the sealed bytes followed by the checksum field.
    EXPECT_EQ(bytes(report), withoutChecksum(report) + ld(18, report.checksum()));
    EXPECT_EQ(ProtoObjectFactory::createZXReport(document(text)).checksum(), report.checksum());

    taxvault::ZXReport closed = document(text);
    closed.closeShiftTime = QDateTime(QDate(2024, 3, 1), QTime(23, 0, 5));
    const ofd::proto::ZXReport closedReport = ProtoObjectFactory::createZXReport(closed);
    ASSERT_TRUE(closedReport.has_close_shift_time());
    EXPECT_EQ(bytes(closedReport.close_shift_time()), wire::dateTime(2024, 3, 1, 23, 0, 5));
    EXPECT_NE(closedReport.checksum(), report.checksum());
    EXPECT_EQ(closedReport.checksum(), std::to_string(crc(withoutChecksum(closedReport))));
}

TEST(ZXReportConversion, MissingEntriesAreZeroAndSurplusOnesLeftOut)
{
    const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(document(R"({
        "operations": {"2": {"count": 3, "sum": 150.5}, "7": {"count": 9, "sum": 9}},
        "ticketOperations": {"1": {"payments": {"2": {"sum": 5, "count": 5}, "4": {"sum": 1.5, "count": 1}}}},
        "moneyPlacements": {"5": {"operationsCount": 3}}
    })"));
    ASSERT_EQ(report.operations_size(), 4);
    const std::string expected[] = {
        v(1, 0) + v(2, 0) + ld(3, money(0, 0)),
        v(1, 1) + v(2, 0) + ld(3, money(0, 0)),
        v(1, 2) + v(2, 3) + ld(3, money(150, 50)),
        v(1, 3) + v(2, 0) + ld(3, money(0, 0)),
    };
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(wire::toHex(bytes(report.operations(t))), wire::toHex(expected[t]));

    const auto& payments = report.ticket_operations(1).payments();
    ASSERT_EQ(payments.size(), 3);
    EXPECT_EQ(payments[0].payment(), 0);
    EXPECT_EQ(payments[1].payment(), 1);
    EXPECT_EQ(payments[2].payment(), 4);
    EXPECT_EQ(payments[2].count(), 1u);
    EXPECT_EQ(payments[1].count(), 0u);

    ASSERT_EQ(report.money_placements_size(), 2);
    EXPECT_EQ(report.money_placements(0).operations_count(), 0u);
    EXPECT_EQ(report.money_placements(1).operations_count(), 0u);
}

TEST(ZXReportConversion, SectionsAndTaxesInKeyOrder)
{
    const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(document(R"({
        "sections": {"2": {}, "10": {"operations": {"0": {"count": 1, "sum": 1}}}},
        "taxes": {"12": {"type": 100}, "0": {"type": 5}}
    })"));
    ASSERT_EQ(report.sections_size(), 2);
    EXPECT_EQ(report.sections(0).section_code(), "10");
    EXPECT_EQ(report.sections(1).section_code(), "2");
    ASSERT_EQ(report.sections(0).operations_size(), 4);
    EXPECT_EQ(report.sections(0).operations(0).count(), 1u);
    EXPECT_EQ(report.sections(1).operations_size(), 4);

    ASSERT_EQ(report.taxes_size(), 2);
    EXPECT_EQ(wire::toHex(bytes(report.taxes(0)).substr(0, 4)), "08 05 10 00");
    EXPECT_EQ(report.taxes(1).percent(), 12u);
    EXPECT_EQ(report.taxes(1).operations_size(), 4);
}

TEST(ZXReportConversion, RevenueSign)
{
    struct Case
    {
        double revenue;
        uint64_t bills;
        uint32_t coins;
        bool negative;
    };
    const Case cases[] = {
        {-12.5, 12, 50, true}, {12.5, 12, 50, false}, {-0.004, 0, 0, false},
        {0.004, 0, 0, false},  {-0.006, 0, 0, true},  {0, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.revenue);
        taxvault::ZXReport doc;
        doc.revenue = c.revenue;
        const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(doc);
        EXPECT_EQ(wire::toHex(bytes(report.revenue())),
                  wire::toHex(ld(1, money(c.bills, c.coins)) + v(2, c.negative)));
    }
}

TEST(ZXReportConversion, TaxOperationComputesTurnoverWithoutTax)
{
    struct Case
    {
        double turnover;
        double sum;
        std::string withoutTax;
    };
    const Case cases[] = {{100, 12, money(88, 0)}, {5, 12, money(0, 0)}, {112.5, 12.05, money(100, 45)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.turnover);
        taxvault::ZXReport doc;
        doc.taxes[12].operations[2].turnover = c.turnover;
        doc.taxes[12].operations[2].sum = c.sum;
        doc.taxes[12].operations[2].turnoverWithoutTax = 999;
        const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(doc);
        EXPECT_EQ(bytes(report.taxes(0).operations(2).turnover_without_tax()), c.withoutTax);
    }
}

TEST(ZXReportConversion, IntegersKeepTheirBits)
{
    taxvault::ZXReport doc;
    doc.shiftNumber = -1;
    doc.ticketOperations[0].ticketsCount = -2;
    doc.taxes[-1].type = 100;
    const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(doc);
    EXPECT_EQ(report.shift_number(), 4294967295u);
    EXPECT_EQ(report.ticket_operations(0).tickets_count(), 4294967294u);
    EXPECT_EQ(report.taxes(0).percent(), 4294967295u);
}

// Every figure distinct, so that a mix-up of two lists in either direction
// shows; the amounts are exact in binary so they survive both money rules.
TEST(ZXReportConversion, RoundTripThroughTheAnswerFactory)
{
    taxvault::ZXReport doc;
    doc.dateTime = QDateTime(QDate(2024, 3, 1), QTime(23, 0, 0));
    doc.openShiftTime = QDateTime(QDate(2024, 3, 1), QTime(8, 0, 0));
    doc.closeShiftTime = QDateTime(QDate(2024, 3, 1), QTime(23, 5, 0));
    doc.shiftNumber = 15;
    int n = 1;
    auto next = [&n] { return n++; };
    for (int t = 0; t < 4; ++t) {
        doc.sections["7"].operations[t] = {uint32_t(next()), next() + 0.25};
        doc.operations[t] = {uint32_t(next()), next() + 0.5};
        doc.discounts[t] = {uint32_t(next()), next() + 0.75};
        doc.markups[t] = {uint32_t(next()), next() + 0.25};
        doc.totalResult[t] = {uint32_t(next()), next() + 0.5};
        doc.startShiftNonNullableSums[t] = next() + 0.25;
        doc.nonNullableSums[t] = next() + 0.75;
        taxvault::TaxOperation& tax = doc.taxes[12].operations[t];
        tax.turnover = next() + 100.5;
        tax.sum = next() + 0.25;
        tax.turnoverWithoutTax = tax.turnover - tax.sum;
        taxvault::TicketOperation& op = doc.ticketOperations[t];
        op.ticketsTotalCount = next();
        op.ticketsCount = next();
        op.offlineCount = next();
        op.ticketsSum = next() + 0.5;
        op.discountSum = next() + 0.25;
        op.markupSum = next() + 0.75;
        op.changeSum = next() + 0.5;
        for (int p : {0, 1, 4})
            op.payments[p] = {next() + 0.25, uint32_t(next())};
    }
    for (int m = 0; m < 2; ++m)
        doc.moneyPlacements[m] = {uint32_t(next()), uint32_t(next()), next() + 0.5, uint32_t(next())};
    doc.cashSum = next() + 0.25;
    doc.revenue = -(next() + 0.5);

    const ofd::proto::ZXReport report = ProtoObjectFactory::createZXReport(doc);
    EXPECT_EQ(report.discounts(2).count(), uint32_t(doc.discounts[2].count));
    EXPECT_EQ(report.markups(2).count(), uint32_t(doc.markups[2].count));
    EXPECT_EQ(report.ticket_operations(3).offline_count(), uint32_t(doc.ticketOperations[3].offlineCount));
    EXPECT_EQ(taxvault::KkmInfoObjectFactory::createZXReport(report), doc);
}

} // namespace
