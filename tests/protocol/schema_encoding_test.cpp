// Byte-exact encodings of small messages: a wrong field number, label or
// type in the schema files changes these bytes.

#include "wire.h"

#include "common.pb.h"
#include "message.pb.h"
#include "report.pb.h"
#include "service.pb.h"
#include "shift.pb.h"
#include "ticket.pb.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

struct EncodingCase
{
    const char* name;
    std::function<std::string()> encode;
    const char* hex;
};

template <typename M>
std::string partial(const M& message)
{
    std::string out;
    EXPECT_TRUE(message.SerializePartialToString(&out));
    return out;
}

const EncodingCase kEncodings[] = {
    {"zero money is present with both fields",
     [] {
         ofd::proto::Money m;
         m.set_bills(0);
         m.set_coins(0);
         return partial(m);
     },
     "08 00 10 00"},
    {"system request carries command 0 and the service part under key 32",
     [] {
         ofd::proto::Request r;
         r.set_command(ofd::proto::COMMAND_SYSTEM);
         auto* reg = r.mutable_service()->mutable_reg_info();
         reg->mutable_kkm();
         reg->mutable_org();
         return partial(r);
     },
     "08 00 32 06 62 04 0a 00 12 00"},
    {"ticket: fields 16 and 17 follow 14 despite declaration order",
     [] {
         ofd::proto::TicketRequest t;
         t.set_printed_document_number(7);
         t.set_fr_shift_number(5);
         t.mutable_parent_ticket();
         return partial(t);
     },
     "70 05 80 01 07 8a 01 00"},
    {"commodity: one key per excise stamp",
     [] {
         ofd::proto::TicketRequest_Item_Commodity c;
         c.add_list_excise_stamp("a");
         c.add_list_excise_stamp("b");
         return partial(c);
     },
     "72 01 61 72 01 62"},
    {"storno commodity: fields numbered one lower",
     [] {
         ofd::proto::TicketRequest_Item_StornoCommodity c;
         c.add_list_excise_stamp("a");
         c.add_list_excise_stamp("b");
         c.set_measure_unit_code("796");
         c.set_ntin("");
         return partial(c);
     },
     "62 03 37 39 36 6a 01 61 6a 01 62 72 00"},
    {"tax: the enumeration fields keep their values",
     [] {
         ofd::proto::TicketRequest_Tax t;
         t.set_type(ofd::proto::VAT);
         t.set_taxation_type(ofd::proto::TRBP);
         t.set_percent(12000);
         t.set_is_in_total_sum(true);
         return partial(t);
     },
     "08 64 10 67 18 e0 5d 28 01"},
    {"report: keys after the reserved number 12",
     [] {
         ofd::proto::ZXReport z;
         z.mutable_cash_sum();
         z.mutable_revenue();
         z.add_non_nullable_sums();
         z.mutable_open_shift_time();
         z.mutable_close_shift_time();
         z.set_checksum("1");
         return partial(z);
     },
     "6a 00 72 00 7a 00 82 01 00 8a 01 00 92 01 01 31"},
    {"service request auxiliary under the two-byte key e2 03",
     [] {
         ofd::proto::ServiceRequest s;
         auto* p = s.add_auxiliary();
         p->set_key("k");
         p->set_value("v");
         return partial(s);
     },
     "e2 03 06 0a 01 6b 12 01 76"},
    {"service response auxiliary under the key f2 01",
     [] {
         ofd::proto::ServiceResponse s;
         s.add_auxiliary()->set_key("k");
         return partial(s);
     },
     "f2 01 03 0a 01 6b"},
    {"register data: an empty kkm_id is present, an unset number absent",
     [] {
         ofd::proto::KkmRegInfo k;
         k.set_kkm_id("");
         return partial(k);
     },
     "2a 00"},
    {"close shift: is_offline false still on the wire",
     [] {
         ofd::proto::CloseShiftRequest c;
         c.set_is_offline(false);
         c.set_withdraw_money(false);
         return partial(c);
     },
     "10 00 20 00"},
    {"time without second",
     [] {
         ofd::proto::Time t;
         t.set_hour(23);
         t.set_minute(59);
         return partial(t);
     },
     "08 17 10 3b"},
};

TEST(SchemaEncoding, GoldenBytes)
{
    for (const auto& c : kEncodings) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(wire::toHex(c.encode()), c.hex);
    }
}

TEST(SchemaEncoding, DefaultsOfUnsetFields)
{
    // The first declared value is the default of an enumeration field.
    ofd::proto::TicketRequest_Tax tax;
    EXPECT_EQ(tax.type(), ofd::proto::VAT);
    EXPECT_EQ(tax.taxation_type(), ofd::proto::STS);
    EXPECT_EQ(ofd::proto::TicketRequest_Item().type(),
              ofd::proto::TicketRequest_Item_ItemTypeEnum_ITEM_TYPE_COMMODITY);
    EXPECT_EQ(ofd::proto::AuthResponse().result(), ofd::proto::AuthResponse_ResultTypeEnum_RESULT_TYPE_OK);
    EXPECT_EQ(ofd::proto::Money().bills(), 0u);
    EXPECT_FALSE(ofd::proto::Money().has_bills());
}

} // namespace
