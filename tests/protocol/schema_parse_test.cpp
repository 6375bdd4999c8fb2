// How answers decode: a strict parse fails on any missing required field,
// including an enumeration field whose value the schema does not declare,
// while the partial parse keeps what was read.

#include "wire.h"

#include "common.pb.h"
#include "message.pb.h"
#include "report.pb.h"
#include "ticket.pb.h"

#include <gtest/gtest.h>

namespace {

using wire::ld;
using wire::v;

std::string money0() { return v(1, 0) + v(2, 0); }
std::string dateTime() { return ld(1, v(1, 2024) + v(2, 3) + v(3, 1)) + ld(2, v(1, 9) + v(2, 5)); }
std::string result() { return ld(2, v(1, 0)); }
std::string org() { return ld(1, "t") + ld(2, "a") + ld(3, "i") + ld(5, "o") + ld(6, "k"); }
std::string regInfo() { return ld(2, ld(1, "") + ld(3, org())); }

// A complete report with no repeated entries.
std::string zxReport()
{
    return ld(1, dateTime()) + v(2, 4) + ld(13, money0()) + ld(14, ld(1, money0()) + v(2, 0)) +
           ld(16, dateTime());
}

std::string ticketOperation(uint64_t paymentType)
{
    return v(1, 2) + v(2, 1) + v(3, 1) + ld(4, money0()) +
           ld(5, v(1, paymentType) + ld(2, money0()) + v(3, 1)) + v(6, 0) + ld(7, money0()) +
           ld(8, money0()) + ld(9, money0());
}

std::string answer(const std::string& parts) { return v(1, 1) + result() + parts; }
std::string withService(const std::string& more) { return answer(ld(6, regInfo() + more)); }
std::string withReport(const std::string& more) { return answer(ld(4, v(1, 1) + ld(2, zxReport() + more))); }

struct ParseCase
{
    const char* name;
    std::string bytes;
    bool complete;
};

TEST(SchemaParse, StrictAndPartial)
{
    const ParseCase cases[] = {
        {"plain answer", answer(""), true},
        {"without result", v(1, 1), false},
        {"command 7 is reserved, not declared", v(1, 7) + result(), false},
        {"command 9", v(1, 9) + result(), false},
        {"command 126", v(1, 126) + result(), false},
        {"command 127", v(1, 127) + result(), true},
        {"service part complete without pos", withService(""), true},
        {"service part with pos", answer(ld(6, ld(2, ld(1, "") + ld(2, ld(1, "t") + ld(2, "a") + ld(3, "k") + v(4, 1) + v(5, 2)) + ld(3, org())))), true},
        {"service part without reg_info", answer(ld(6, "")), false},
        {"reg_info without org", answer(ld(6, ld(2, ld(1, "")))), false},
        {"reg_info without kkm", answer(ld(6, ld(2, ld(3, org())))), false},
        {"org without okved", answer(ld(6, ld(2, ld(1, "") + ld(3, ld(1, "t") + ld(2, "a") + ld(3, "i") + ld(6, "k"))))), false},
        {"binded taxation TRBP with VAT", withService(ld(3, v(1, 103) + ld(2, v(1, 100) + v(2, 12)))), true},
        {"binded taxation type 104", withService(ld(3, v(1, 104))), false},
        {"binded tax type 101", withService(ld(3, v(1, 100) + ld(2, v(1, 101) + v(2, 12)))), false},
        {"ticket ad type 4", withService(ld(1, ld(1, v(1, 4) + v(2, 1)) + ld(2, "x"))), true},
        {"ticket ad type 5", withService(ld(1, ld(1, v(1, 5) + v(2, 1)) + ld(2, "x"))), false},
        {"last document info", withService(ld(4, v(1, 3) + v(2, 40))), true},
        {"last document info without number", withService(ld(4, v(1, 3))), false},
        {"report complete", withReport(""), true},
        {"report without open_shift_time", answer(ld(4, v(1, 1) + ld(2, ld(1, dateTime()) + v(2, 4) + ld(13, money0()) + ld(14, ld(1, money0()) + v(2, 0))))), false},
        {"report payment type 4", withReport(ld(10, ticketOperation(4))), true},
        {"report payment type 2", withReport(ld(10, ticketOperation(2))), false},
        {"report payment type 3", withReport(ld(10, ticketOperation(3))), false},
        {"report tax type 100", withReport(ld(8, v(1, 100) + v(2, 12))), true},
        {"report tax type 101", withReport(ld(8, v(1, 101) + v(2, 12))), false},
        {"report type 2", answer(ld(4, v(1, 2) + ld(2, zxReport()))), false},
        {"ticket answer with empty qr code", answer(ld(3, ld(1, "123") + ld(2, ""))), true},
        {"ticket answer without number", answer(ld(3, ld(2, "x"))), false},
        {"nomenclature part", answer(ld(5, v(1, 3) + v(4, 0))), true},
        {"nomenclature without version", answer(ld(5, v(4, 0))), false},
        {"nomenclature without result", answer(ld(5, v(1, 3))), false},
        {"nomenclature element without id", answer(ld(5, v(1, 3) + v(4, 0) + ld(3, v(1, 0) + ld(3, "g")))), false},
        {"nomenclature element without title", answer(ld(5, v(1, 3) + v(4, 0) + ld(3, v(1, 0) + v(5, 1)))), false},
        {"auth part", answer(ld(7, v(1, 1) + v(4, 1) + v(4, 3))), true},
        {"auth role outside the enumeration", answer(ld(7, v(1, 0) + v(4, 0) + v(4, 2) + v(4, 9))), true},
        {"auth result 2", answer(ld(7, v(1, 2))), false},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ofd::proto::Response strict;
        EXPECT_EQ(strict.ParseFromArray(c.bytes.data(), int(c.bytes.size())), c.complete);
        ofd::proto::Response partial;
        EXPECT_TRUE(partial.ParsePartialFromArray(c.bytes.data(), int(c.bytes.size())));
        EXPECT_EQ(partial.IsInitialized(), c.complete);
    }
}

TEST(SchemaParse, UndeclaredValuesLeaveTheFieldUnset)
{
    ofd::proto::Response r;
    std::string bytes = v(1, 7) + ld(2, v(1, 13) + ld(2, "bad")) + ld(3, ld(1, "42"));
    ASSERT_TRUE(r.ParsePartialFromArray(bytes.data(), int(bytes.size())));
    EXPECT_FALSE(r.has_command());
    EXPECT_EQ(r.result().result_code(), 13u);
    EXPECT_EQ(r.result().result_text(), "bad");
    EXPECT_EQ(r.ticket().ticket_number(), "42");

    bytes = answer(ld(7, v(1, 0) + v(4, 2) + v(4, 9) + v(4, 1)));
    ASSERT_TRUE(r.ParseFromArray(bytes.data(), int(bytes.size())));
    ASSERT_EQ(r.auth().roles_size(), 2);
    EXPECT_EQ(r.auth().roles(0), ofd::proto::USER_ROLE_CHIEF_PAYMASTER);
    EXPECT_EQ(r.auth().roles(1), ofd::proto::USER_ROLE_PAYMASTER);

    bytes = withReport(ld(10, ticketOperation(2)));
    ASSERT_TRUE(r.ParsePartialFromArray(bytes.data(), int(bytes.size())));
    ASSERT_EQ(r.report().zx_report().ticket_operations_size(), 1);
    ASSERT_EQ(r.report().zx_report().ticket_operations(0).payments_size(), 1);
    EXPECT_FALSE(r.report().zx_report().ticket_operations(0).payments(0).has_payment());
}

TEST(SchemaParse, MissingResultReadsAsDefaults)
{
    const std::string bytes = v(1, 5) + ld(6, "");
    ofd::proto::Response r;
    EXPECT_FALSE(r.ParseFromArray(bytes.data(), int(bytes.size())));
    ASSERT_TRUE(r.ParsePartialFromArray(bytes.data(), int(bytes.size())));
    EXPECT_EQ(r.command(), ofd::proto::COMMAND_INFO);
    EXPECT_FALSE(r.has_result());
    EXPECT_EQ(r.result().result_code(), 0u);
    EXPECT_EQ(r.result().result_text(), "");
    EXPECT_TRUE(r.has_service());
}

TEST(SchemaParse, ParsingReplacesEarlierContent)
{
    ofd::proto::Response r;
    std::string first = answer(ld(3, ld(1, "1")));
    ASSERT_TRUE(r.ParseFromArray(first.data(), int(first.size())));
    std::string second = answer("");
    ASSERT_TRUE(r.ParseFromArray(second.data(), int(second.size())));
    EXPECT_FALSE(r.has_ticket());
}

TEST(SchemaParse, InvalidEncodingFailsBothWays)
{
    const std::string cases[] = {
        std::string("\x0a\x05", 2),         // length beyond the end
        std::string("\x08", 1),             // key without value
        std::string("\x0f\x00", 2),         // wire type 7
        v(1, 1) + std::string("\x12\x02\x08", 3),
    };
    for (const auto& bytes : cases) {
        SCOPED_TRACE(wire::toHex(bytes));
        ofd::proto::Response r;
        EXPECT_FALSE(r.ParseFromArray(bytes.data(), int(bytes.size())));
        EXPECT_FALSE(r.ParsePartialFromArray(bytes.data(), int(bytes.size())));
    }
}

TEST(SchemaParse, RequiredFieldsOfBuiltMessages)
{
    ofd::proto::Time time;
    time.set_hour(1);
    time.set_minute(2);
    EXPECT_TRUE(time.IsInitialized());

    ofd::proto::Date date;
    date.set_year(2024);
    date.set_month(3);
    EXPECT_FALSE(date.IsInitialized());

    ofd::proto::TicketRequest_Item item;
    item.set_type(ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_COMMODITY);
    EXPECT_TRUE(item.IsInitialized());
    auto* c = item.mutable_commodity();
    c->set_section_code("1");
    c->set_quantity(1000);
    c->mutable_price()->set_bills(1);
    c->mutable_price()->set_coins(0);
    c->mutable_sum()->set_bills(1);
    c->mutable_sum()->set_coins(0);
    EXPECT_FALSE(item.IsInitialized());
    c->set_measure_unit_code("796");
    EXPECT_TRUE(item.IsInitialized());

    ofd::proto::ZXReport z;
    std::string bytes = zxReport();
    ASSERT_TRUE(z.ParseFromArray(bytes.data(), int(bytes.size())));
    EXPECT_FALSE(z.has_close_shift_time());
    z.clear_cash_sum();
    EXPECT_FALSE(z.IsInitialized());
}

} // namespace
