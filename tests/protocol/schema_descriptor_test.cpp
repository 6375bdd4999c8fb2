// The shape of the whole schema, read from the generated descriptors: which
// files exist under which names, what they import and declare, and that they
// carry nothing beyond plain proto2 messages and enumerations.

#include "message.pb.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::EnumDescriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::FileDescriptor;
using Strings = std::vector<std::string>;

const FileDescriptor* file(const std::string& name)
{
    // Linking the envelope pulls in every other file through its imports.
    ofd::proto::Request::descriptor();
    return DescriptorPool::generated_pool()->FindFileByName(name);
}

struct FileCase
{
    std::string name;
    Strings imports;
    Strings messages;
    Strings enums;
};

const std::vector<FileCase> kFiles = {
    {"adinfo.proto", {}, {"TicketAdInfo", "TicketAd"}, {"TicketAdTypeEnum"}},
    {"common.proto", {}, {"Date", "Time", "DateTime", "Money", "Operator"}, {}},
    {"message.proto",
     {"ticket.proto", "placement.proto", "report.proto", "shift.proto", "nomenclature.proto", "service.proto",
      "auth.proto"},
     {"Result", "Request", "Response"},
     {"CommandTypeEnum", "ResultTypeEnum"}},
    {"auth.proto", {}, {"AuthRequest", "AuthResponse"}, {"UserRoleEnum"}},
    {"nomenclature.proto", {"common.proto", "taxation.proto"}, {"NomenclatureRequest", "NomenclatureResponse"}, {}},
    {"placement.proto", {"common.proto"}, {"MoneyPlacementRequest"}, {"MoneyPlacementEnum"}},
    {"reginfo.proto", {}, {"KkmRegInfo", "PosRegInfo", "OrgRegInfo"}, {}},
    {"report.proto",
     {"common.proto", "taxation.proto", "ticket.proto", "placement.proto"},
     {"ZXReport", "ReportRequest", "ReportResponse"},
     {"ReportTypeEnum"}},
    {"service.proto",
     {"adinfo.proto", "common.proto", "reginfo.proto", "taxation.proto"},
     {"ServiceRequest", "ServiceResponse", "KeyValuePair"},
     {}},
    {"shift.proto", {"common.proto", "report.proto"}, {"CloseShiftRequest"}, {}},
    {"taxation.proto", {}, {"BindedTaxation"}, {"TaxTypeEnum", "TaxationTypeEnum"}},
    {"ticket.proto",
     {"common.proto", "service.proto", "taxation.proto"},
     {"TicketRequest", "TicketResponse"},
     {"OperationTypeEnum", "PaymentTypeEnum", "DomainTypeEnum"}},
};

struct Totals
{
    std::vector<const Descriptor*> messages;
    std::vector<const EnumDescriptor*> enums;
    int fields = 0;
    std::map<FieldDescriptor::Label, int> labels;
    std::map<FieldDescriptor::Type, int> types;
};

void collect(const Descriptor* d, Totals& t)
{
    t.messages.push_back(d);
    t.fields += d->field_count();
    for (int i = 0; i < d->field_count(); ++i) {
        ++t.labels[d->field(i)->label()];
        ++t.types[d->field(i)->type()];
    }
    for (int i = 0; i < d->enum_type_count(); ++i)
        t.enums.push_back(d->enum_type(i));
    for (int i = 0; i < d->nested_type_count(); ++i)
        collect(d->nested_type(i), t);
}

Totals walkAll()
{
    Totals t;
    for (const auto& f : kFiles) {
        const FileDescriptor* fd = file(f.name);
        for (int i = 0; i < fd->message_type_count(); ++i)
            collect(fd->message_type(i), t);
        for (int i = 0; i < fd->enum_type_count(); ++i)
            t.enums.push_back(fd->enum_type(i));
    }
    return t;
}

TEST(SchemaDescriptor, FilesImportsAndTopLevelDeclarations)
{
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.name);
        const FileDescriptor* fd = file(f.name);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(fd->package(), "ofd.proto");
        EXPECT_EQ(fd->syntax(), FileDescriptor::SYNTAX_PROTO2);
        Strings imports, messages, enums;
        for (int i = 0; i < fd->dependency_count(); ++i)
            imports.push_back(fd->dependency(i)->name());
        for (int i = 0; i < fd->message_type_count(); ++i)
            messages.push_back(fd->message_type(i)->name());
        for (int i = 0; i < fd->enum_type_count(); ++i)
            enums.push_back(fd->enum_type(i)->name());
        EXPECT_EQ(imports, f.imports);
        EXPECT_EQ(messages, f.messages);
        EXPECT_EQ(enums, f.enums);
        EXPECT_EQ(fd->service_count(), 0);
        EXPECT_EQ(fd->extension_count(), 0);
        EXPECT_EQ(fd->options().ByteSizeLong(), 0u);
    }
}

TEST(SchemaDescriptor, TotalsOfTheWholeSchema)
{
    const Totals t = walkAll();
    EXPECT_EQ(t.messages.size(), 67u);
    EXPECT_EQ(t.fields, 307);
    EXPECT_EQ(t.enums.size(), 15u);
    // A label or a scalar type written wrong anywhere shifts these tallies,
    // even where the encoding of small values would not change.
    const std::map<FieldDescriptor::Label, int> labels = {
        {FieldDescriptor::LABEL_REQUIRED, 144},
        {FieldDescriptor::LABEL_OPTIONAL, 128},
        {FieldDescriptor::LABEL_REPEATED, 35},
    };
    EXPECT_EQ(t.labels, labels);
    const std::map<FieldDescriptor::Type, int> types = {
        {FieldDescriptor::TYPE_MESSAGE, 133}, {FieldDescriptor::TYPE_STRING, 77}, {FieldDescriptor::TYPE_UINT32, 44},
        {FieldDescriptor::TYPE_ENUM, 27},     {FieldDescriptor::TYPE_BOOL, 13},   {FieldDescriptor::TYPE_UINT64, 12},
        {FieldDescriptor::TYPE_BYTES, 1},
    };
    EXPECT_EQ(t.types, types);
}

TEST(SchemaDescriptor, PlainMessagesWithoutOptions)
{
    for (const Descriptor* d : walkAll().messages) {
        SCOPED_TRACE(d->full_name());
        EXPECT_EQ(d->options().ByteSizeLong(), 0u);
        EXPECT_EQ(d->oneof_decl_count(), 0);
        EXPECT_EQ(d->extension_count(), 0);
        EXPECT_EQ(d->extension_range_count(), 0);
        for (int i = 0; i < d->field_count(); ++i) {
            const FieldDescriptor* f = d->field(i);
            SCOPED_TRACE(f->name());
            EXPECT_EQ(f->options().ByteSizeLong(), 0u);
            EXPECT_FALSE(f->is_packed());
            EXPECT_FALSE(f->is_map());
            EXPECT_NE(f->type(), FieldDescriptor::TYPE_GROUP);
            // The only explicit defaults of the schema are those of Money.
            EXPECT_EQ(f->has_default_value(), d->full_name() == "ofd.proto.Money");
            if (f->type() == FieldDescriptor::TYPE_BYTES)
                EXPECT_EQ(f->full_name(), "ofd.proto.TicketResponse.qr_code");
        }
    }
}

TEST(SchemaDescriptor, NestedDeclarations)
{
    const std::map<std::string, Strings> nested = {
        {"ofd.proto.TicketRequest",
         {"Tax", "Modifier", "Item", "Domain", "ExtensionOptions", "Payment", "Amounts", "ParentTicket"}},
        {"ofd.proto.TicketRequest.Item", {"Commodity", "StornoCommodity"}},
        {"ofd.proto.TicketRequest.Domain", {"Services", "GasOil", "Taxi", "Parking"}},
        {"ofd.proto.TicketRequest.Payment", {"CardPaymentFields", "MobilePaymentFields"}},
        {"ofd.proto.ZXReport",
         {"Operation", "Section", "Tax", "NonNullableSum", "TicketOperation", "MoneyPlacement", "Revenue"}},
        {"ofd.proto.ZXReport.Tax", {"TaxOperation"}},
        {"ofd.proto.ZXReport.TicketOperation", {"Payment"}},
        {"ofd.proto.ServiceRequest",
         {"CommQuality", "OfflinePeriod", "SoftwareInformation", "RegInfo", "SecurityStats"}},
        {"ofd.proto.ServiceRequest.SoftwareInformation", {"ModuleInformation"}},
        {"ofd.proto.ServiceRequest.SoftwareInformation.ModuleInformation", {"DeviceInformation"}},
        {"ofd.proto.ServiceRequest.SecurityStats", {"GeoPosition"}},
        {"ofd.proto.ServiceResponse", {"RegInfo", "LastDocumentInfo"}},
        {"ofd.proto.BindedTaxation", {"BindedTax"}},
        {"ofd.proto.NomenclatureResponse", {"Tax", "Item", "Element"}},
    };
    for (const Descriptor* d : walkAll().messages) {
        SCOPED_TRACE(d->full_name());
        Strings names;
        for (int i = 0; i < d->nested_type_count(); ++i)
            names.push_back(d->nested_type(i)->name());
        auto it = nested.find(d->full_name());
        EXPECT_EQ(names, it == nested.end() ? Strings{} : it->second);
    }
}

TEST(SchemaDescriptor, DeclarationOrderDiffersFromNumberOrder)
{
    const std::map<std::string, std::vector<int>> order = {
        {"ofd.proto.TicketRequest", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 12, 14, 17}},
        {"ofd.proto.NomenclatureResponse.Element", {1, 3, 7, 4, 5, 6}},
        {"ofd.proto.ServiceRequest", {1, 3, 4, 5, 6, 7, 8, 11, 12, 60}},
        {"ofd.proto.OrgRegInfo", {1, 2, 3, 5, 6}},
    };
    for (const auto& [name, numbers] : order) {
        SCOPED_TRACE(name);
        const Descriptor* d = DescriptorPool::generated_pool()->FindMessageTypeByName(name);
        ASSERT_NE(d, nullptr);
        std::vector<int> declared;
        for (int i = 0; i < d->field_count(); ++i)
            declared.push_back(d->field(i)->number());
        EXPECT_EQ(declared, numbers);
    }
}

TEST(SchemaDescriptor, ReservedEntries)
{
    struct Reserved
    {
        std::string name;
        std::vector<int> numbers;
        Strings names;
    };
    const Reserved messages[] = {
        {"ofd.proto.TicketRequest", {11, 13, 15}, {"printed_document_number_old", "ad_infos", "shift_document_number"}},
        {"ofd.proto.TicketRequest.Item.Commodity", {8}, {"excise_stamp"}},
        {"ofd.proto.TicketRequest.Item.StornoCommodity", {7}, {"excise_stamp"}},
        {"ofd.proto.ZXReport", {12}, {"annulled_tickets"}},
    };
    std::map<std::string, const Reserved*> byName;
    for (const auto& r : messages)
        byName[r.name] = &r;
    for (const Descriptor* d : walkAll().messages) {
        SCOPED_TRACE(d->full_name());
        std::vector<int> numbers;
        Strings names;
        for (int i = 0; i < d->reserved_range_count(); ++i) {
            const auto* range = d->reserved_range(i);
            for (int n = range->start; n < range->end; ++n)
                numbers.push_back(n);
        }
        for (int i = 0; i < d->reserved_name_count(); ++i)
            names.push_back(d->reserved_name(i));
        auto it = byName.find(d->full_name());
        EXPECT_EQ(numbers, it == byName.end() ? std::vector<int>{} : it->second->numbers);
        EXPECT_EQ(names, it == byName.end() ? Strings{} : it->second->names);
    }

    const Reserved enums[] = {
        {"ofd.proto.CommandTypeEnum", {9, 7, 20}, {"COMMAND_OPEN_SHIFT", "COMMAND_CANCEL_TICKET", "COMMAND_NOMENCLATURE2"}},
        {"ofd.proto.ResultTypeEnum", {16, 10}, {"RESULT_TYPE_CURRENT_SHIFT_WAS_OPENED", "RESULT_TYPE_CANT_CANCEL_TICKET"}},
    };
    std::map<std::string, const Reserved*> enumByName;
    for (const auto& r : enums)
        enumByName[r.name] = &r;
    for (const EnumDescriptor* e : walkAll().enums) {
        SCOPED_TRACE(e->full_name());
        std::vector<int> numbers;
        Strings names;
        for (int i = 0; i < e->reserved_range_count(); ++i) {
            const auto* range = e->reserved_range(i);
            for (int n = range->start; n <= range->end; ++n)
                numbers.push_back(n);
        }
        for (int i = 0; i < e->reserved_name_count(); ++i)
            names.push_back(e->reserved_name(i));
        auto it = enumByName.find(e->full_name());
        EXPECT_EQ(numbers, it == enumByName.end() ? std::vector<int>{} : it->second->numbers);
        EXPECT_EQ(names, it == enumByName.end() ? Strings{} : it->second->names);
    }
}

TEST(SchemaDescriptor, Enumerations)
{
    using Values = std::vector<std::pair<int, std::string>>;
    const std::map<std::string, Values> expected = {
        {"ofd.proto.TicketAdTypeEnum",
         {{0, "TICKET_AD_OFD"}, {1, "TICKET_AD_ORG"}, {2, "TICKET_AD_POS"}, {3, "TICKET_AD_KKM"}, {4, "TICKET_AD_INFO"}}},
        {"ofd.proto.CommandTypeEnum",
         {{0, "COMMAND_SYSTEM"},
          {1, "COMMAND_TICKET"},
          {2, "COMMAND_CLOSE_SHIFT"},
          {3, "COMMAND_REPORT"},
          {4, "COMMAND_NOMENCLATURE"},
          {5, "COMMAND_INFO"},
          {6, "COMMAND_MONEY_PLACEMENT"},
          {8, "COMMAND_AUTH"},
          {127, "COMMAND_RESERVED"}}},
        {"ofd.proto.ResultTypeEnum",
         {{0, "RESULT_TYPE_OK"},
          {1, "RESULT_TYPE_UNKNOWN_ID"},
          {2, "RESULT_TYPE_INVALID_TOKEN"},
          {3, "RESULT_TYPE_PROTOCOL_ERROR"},
          {4, "RESULT_TYPE_UNKNOWN_COMMAND"},
          {5, "RESULT_TYPE_UNSUPPORTED_COMMAND"},
          {6, "RESULT_TYPE_INVALID_CONFIGURATION"},
          {7, "RESULT_TYPE_SSL_IS_NOT_ALLOWED"},
          {8, "RESULT_TYPE_INVALID_REQUEST_NUMBER"},
          {9, "RESULT_TYPE_INVALID_RETRY_REQUEST"},
          {11, "RESULT_TYPE_OPEN_SHIFT_TIMEOUT_EXPIRED"},
          {12, "RESULT_TYPE_INVALID_LOGIN_PASSWORD"},
          {13, "RESULT_TYPE_INCORRECT_REQUEST_DATA"},
          {14, "RESULT_TYPE_NOT_ENOUGH_CASH"},
          {15, "RESULT_TYPE_BLOCKED"},
          {17, "RESULT_TYPE_SAME_TAXPAYER_AND_CUSTOMER"},
          {254, "RESULT_TYPE_SERVICE_TEMPORARILY_UNAVAILABLE"},
          {255, "RESULT_TYPE_UNKNOWN_ERROR"}}},
        {"ofd.proto.AuthResponse.ResultTypeEnum", {{0, "RESULT_TYPE_OK"}, {1, "RESULT_TYPE_INVALID_LOGIN_PASSWORD"}}},
        {"ofd.proto.UserRoleEnum",
         {{1, "USER_ROLE_PAYMASTER"}, {2, "USER_ROLE_CHIEF_PAYMASTER"}, {3, "USER_ROLE_ADMINISTRATOR"}}},
        {"ofd.proto.NomenclatureResponse.ElementTypeEnum", {{0, "GROUP"}, {1, "ITEM"}}},
        {"ofd.proto.NomenclatureResponse.NomenclatureResultTypeEnum",
         {{0, "RESULT_TYPE_OK"},
          {1, "RESULT_TYPE_VERSION_IS_ACTUAL"},
          {2, "RESULT_TYPE_NO_VERSION"},
          {3, "RESULT_TYPE_ELEMENT_NOT_FOUND_BY_BARCODE"}}},
        {"ofd.proto.MoneyPlacementEnum", {{0, "MONEY_PLACEMENT_DEPOSIT"}, {1, "MONEY_PLACEMENT_WITHDRAWAL"}}},
        {"ofd.proto.ReportTypeEnum", {{0, "REPORT_Z"}, {1, "REPORT_X"}}},
        {"ofd.proto.TaxTypeEnum", {{100, "VAT"}}},
        {"ofd.proto.TaxationTypeEnum", {{100, "STS"}, {101, "RTS"}, {102, "TRFF"}, {103, "TRBP"}}},
        {"ofd.proto.TicketRequest.Item.ItemTypeEnum",
         {{1, "ITEM_TYPE_COMMODITY"},
          {2, "ITEM_TYPE_STORNO_COMMODITY"},
          {3, "ITEM_TYPE_MARKUP"},
          {4, "ITEM_TYPE_STORNO_MARKUP"},
          {5, "ITEM_TYPE_DISCOUNT"},
          {6, "ITEM_TYPE_STORNO_DISCOUNT"}}},
        {"ofd.proto.OperationTypeEnum",
         {{0, "OPERATION_BUY"}, {1, "OPERATION_BUY_RETURN"}, {2, "OPERATION_SELL"}, {3, "OPERATION_SELL_RETURN"}}},
        {"ofd.proto.PaymentTypeEnum", {{0, "PAYMENT_CASH"}, {1, "PAYMENT_CARD"}, {4, "PAYMENT_MOBILE"}}},
        {"ofd.proto.DomainTypeEnum",
         {{0, "DOMAIN_TRADING"},
          {1, "DOMAIN_SERVICES"},
          {2, "DOMAIN_GASOIL"},
          {3, "DOMAIN_HOTELS"},
          {4, "DOMAIN_TAXI"},
          {5, "DOMAIN_PARKING"}}},
    };

    std::map<std::string, Values> actual;
    for (const EnumDescriptor* e : walkAll().enums) {
        EXPECT_EQ(e->options().ByteSizeLong(), 0u) << e->full_name();
        Values values;
        for (int i = 0; i < e->value_count(); ++i)
            values.emplace_back(e->value(i)->number(), e->value(i)->name());
        actual[e->full_name()] = values;
    }
    EXPECT_EQ(actual, expected);
}

} // namespace
