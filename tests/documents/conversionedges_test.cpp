// How incoming JSON of every shape lands in the documents, seen through the JSON they write back.

#include "documents/closeshiftrequest.h"
#include "documents/documentmapping.h"
#include "documents/reportrequest.h"
#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"
#include "documents/ticketrequest.h"
#include "jsontesthelpers.h"

#include <QMetaProperty>

using namespace taxvault;
using taxvault::testing::compact;
using taxvault::testing::parseObject;
using taxvault::testing::valueAt;

namespace {

enum class Root { Ticket, Service, CloseShift, Report, ServiceAnswer };

const char* const absent = nullptr;

struct Edge
{
    const char* name;
    Root root;
    const char* before; // when set, the document is read from it first and the input is merged in
    const char* input;
    const char* path;
    const char* expected; // compact JSON, or absent
};

template <typename T> QJsonObject convertAs(const char* before, const char* input)
{
    const QJsonObject json = parseObject(QString::fromUtf8(input));
    T document;
    if (before) {
        document = fromJsonObject<T>(parseObject(QString::fromUtf8(before)));
        applyVariantMap(json.toVariantMap(), document);
    } else if constexpr (requires { T::fromJson(json); }) {
        document = T::fromJson(json);
    } else {
        document = fromJsonObject<T>(json);
    }
    if constexpr (requires { document.toJson(); })
        return document.toJson();
    else
        return toJsonObject(document);
}

QJsonObject convert(const Edge& edge)
{
    switch (edge.root) {
    case Root::Ticket:
        return convertAs<TicketRequest>(edge.before, edge.input);
    case Root::Service:
        return convertAs<ServiceRequest>(edge.before, edge.input);
    case Root::CloseShift:
        return convertAs<CloseShiftRequest>(edge.before, edge.input);
    case Root::Report:
        return convertAs<ReportRequest>(edge.before, edge.input);
    case Root::ServiceAnswer:
        return convertAs<ServiceResponse>(edge.before, edge.input);
    }
    return {};
}

const char* const defaultTax = R"({"isInTotalSumFlag":false,"percent":0,"sum":0,"taxType":100})";
const char* const defaultModifier = R"({"auxiliary":{},"name":"","sum":0,"taxes":[]})";

const Edge edges[] = {
    // null versus absent
    {"null int keeps the default", Root::Ticket, nullptr, R"({"operation":null})", "operation", "2"},
    {"null bool keeps the default", Root::Service, nullptr, R"({"getRegInfoFlag":null})", "getRegInfoFlag",
     "true"},
    {"false bool is taken", Root::Service, nullptr, R"({"getRegInfoFlag":false})", "getRegInfoFlag", "false"},
    {"null free variant is left out", Root::Ticket, nullptr, R"({"offlineTicketNumber":null})",
     "offlineTicketNumber", absent},
    {"null date-time is the empty text", Root::Ticket, nullptr, R"({"dateTime":null})", "dateTime", R"("")"},
    {"null list stays empty", Root::Ticket, nullptr, R"({"items":null})", "items", "[]"},
    {"null optional double stays empty", Root::Ticket, nullptr, R"({"amounts":{"taken":null}})",
     "amounts/taken", absent},
    {"zero optional double is written", Root::Ticket, nullptr, R"({"amounts":{"taken":0}})", "amounts/taken",
     "0"},
    {"null optional document stays empty", Root::Ticket, nullptr, R"({"extensionOptions":null})",
     "extensionOptions", absent},
    {"null plain document keeps the default block", Root::Ticket, nullptr, R"({"kkmInfoObject":null})",
     "kkmInfoObject/serviceStatus", "0"},
    {"null merged onto a text keeps the text", Root::Ticket, R"({"kkmInfoObject":{"errorMessage":"E"}})",
     R"({"kkmInfoObject":{"errorMessage":null}})", "kkmInfoObject/errorMessage", R"("E")"},
    {"null empties a present optional document", Root::Service, R"({"commQuality":{"avgConnectTime":3}})",
     R"({"commQuality":null})", "commQuality", absent},
    {"null leaves a present point of sale alone", Root::Service, R"({"regInfo":{"pos":{"title":"P"}}})",
     R"({"regInfo":{"pos":null}})", "regInfo/pos/title", R"("P")"},

    // keys that name no property
    {"case-different key is ignored", Root::Ticket, nullptr,
     R"({"Operation":3,"OPERATION":4,"domain":{"type":1}})", "operation", "2"},
    {"the rest of the object is still read", Root::Ticket, nullptr, R"({"Operation":3,"domain":{"type":1}})",
     "domain/type", "1"},
    {"key with an embedded NUL is no property", Root::Ticket, nullptr, R"({"operation\u0000x":3})",
     "operation", "2"},
    {"unknown keys in the status block are dropped", Root::Ticket, nullptr,
     R"({"kkmInfoObject":{"bogus":1,"lockDate":"no date","errorMessage":"E"}})", "kkmInfoObject",
     R"({"data":"","errorMessage":"E","lockDate":"","offlineModeReason":0,"serviceStatus":0,"serviceStatusByDbState":0})"},

    // nested documents given other values
    {"optional document given a number holds a default", Root::Ticket, nullptr, R"({"parentTicket":5})",
     "parentTicket", R"({"dateTime":"","isOffline":false,"kkmId":"","number":"","sum":0})"},
    {"optional document given a text holds a default", Root::Ticket, nullptr, R"({"extensionOptions":"x"})",
     "extensionOptions", R"({"auxiliary":{},"customerEmail":"","customerIinOrBin":"","customerPhone":""})"},
    {"optional document given {} holds a default", Root::Ticket, nullptr, R"({"amounts":{"markup":{}}})",
     "amounts/markup", defaultModifier},
    {"optional double given a non-number text holds 0", Root::Ticket, nullptr,
     R"({"amounts":{"change":"abc"}})", "amounts/change", "0"},
    {"optional double given a decimal text", Root::Ticket, nullptr, R"({"amounts":{"taken":"12.5"}})",
     "amounts/taken", "12.5"},
    {"plain document given a number keeps the default", Root::Ticket, nullptr, R"({"amounts":5})", "amounts",
     R"({"total":0})"},
    {"status block given an array keeps the default", Root::Ticket, nullptr, R"({"kkmInfoObject":[1]})",
     "kkmInfoObject/lockDate", R"("")"},
    {"plain document is merged", Root::Report, R"({"zxReport":{"sections":{"A":{}},"shiftNumber":1}})",
     R"({"zxReport":{"shiftNumber":5}})", "zxReport/sections", R"({"A":{"operations":{}}})"},
    {"optional document is replaced", Root::Ticket, R"({"parentTicket":{"number":"1","sum":5}})",
     R"({"parentTicket":{"number":"2"}})", "parentTicket",
     R"({"dateTime":"","isOffline":false,"kkmId":"","number":"2","sum":0})"},
    {"nested merge changes only the given key", Root::Service,
     R"({"regInfo":{"kkm":{"kkmId":"1","serialNumber":"S"},"pos":{"title":"P","latitude":3},"org":{"inn":"I"}}})",
     R"({"regInfo":{"kkm":{"kkmId":"7"}}})", "regInfo",
     R"({"kkm":{"fnsKkmId":"","kkmId":"7","pointOfPaymentNumber":"","serialNumber":"S","terminalNumber":""},)"
     R"("org":{"address":"","addressKz":"","inn":"I","okved":"","title":""},)"
     R"("pos":{"address":"","addressKz":"","latitude":3,"longitude":0,"title":"P"}})"},
    {"point of sale given an object is replaced", Root::Service,
     R"({"regInfo":{"pos":{"title":"P","latitude":3}}})", R"({"regInfo":{"pos":{"title":"A"}}})",
     "regInfo/pos", R"({"address":"","addressKz":"","latitude":0,"longitude":0,"title":"A"})"},

    // lists
    {"non-object elements become defaults in place", Root::Ticket, nullptr,
     R"({"taxes":[{"percent":12},5,"x"]})", "taxes",
     R"([{"isInTotalSumFlag":false,"percent":12,"sum":0,"taxType":100},)"
     R"({"isInTotalSumFlag":false,"percent":0,"sum":0,"taxType":100},)"
     R"({"isInTotalSumFlag":false,"percent":0,"sum":0,"taxType":100}])"},
    {"list given an object stays empty", Root::Ticket, nullptr, R"({"items":{"type":3}})", "items", "[]"},
    {"list given a text stays empty", Root::Ticket, nullptr, R"({"items":"abc"})", "items", "[]"},
    {"list is replaced, not merged", Root::Ticket, R"({"taxes":[{"percent":1},{"percent":2}]})",
     R"({"taxes":[{}]})", "taxes", R"([{"isInTotalSumFlag":false,"percent":0,"sum":0,"taxType":100}])"},
    {"empty item is a commodity line", Root::Ticket, nullptr, R"({"items":[{}]})", "items/0/type", "1"},
    {"empty item still writes its modifier", Root::Ticket, nullptr, R"({"items":[{}]})", "items/0/modifier",
     defaultModifier},
    {"empty tax element has the VAT default", Root::Ticket, nullptr,
     R"({"items":[{"commodity":{"taxes":[{}]}}]})", "items/0/commodity/taxes/0", defaultTax},

    // int-keyed maps
    {"keys 1 and 01 give one entry from key 1", Root::CloseShift, nullptr,
     R"({"zReport":{"operations":{"1":{"count":1},"01":{"count":2}}}})", "zReport/operations",
     R"({"1":{"count":1,"sum":0}})"},
    {"key x lands on 0", Root::CloseShift, nullptr, R"({"zReport":{"operations":{"x":{"count":3}}}})",
     "zReport/operations", R"({"0":{"count":3,"sum":0}})"},
    {"key beyond the int range lands on 0", Root::CloseShift, nullptr,
     R"({"zReport":{"operations":{"2147483648":{"count":4}}}})", "zReport/operations",
     R"({"0":{"count":4,"sum":0}})"},
    {"key x comes after key 0 and wins", Root::CloseShift, nullptr,
     R"({"zReport":{"operations":{"0":{"count":5},"x":{"count":6}}}})", "zReport/operations",
     R"({"0":{"count":6,"sum":0}})"},
    {"keys are written in text order", Root::CloseShift, nullptr,
     R"({"zReport":{"operations":{"9":{},"10":{},"-1":{}}}})", "zReport/operations",
     R"({"-1":{"count":0,"sum":0},"10":{"count":0,"sum":0},"9":{"count":0,"sum":0}})"},
    {"entry that is no object is a default", Root::CloseShift, nullptr, R"({"zReport":{"markups":{"2":5}}})",
     "zReport/markups", R"({"2":{"count":0,"sum":0}})"},
    {"tax totals default to VAT", Root::CloseShift, nullptr, R"({"zReport":{"taxes":{"12":{}}}})",
     "zReport/taxes", R"({"12":{"operations":{},"type":100}})"},
    {"nested payment map", Root::CloseShift, nullptr,
     R"({"zReport":{"ticketOperations":{"2":{"payments":{"4":{}}}}}})", "zReport/ticketOperations/2/payments",
     R"({"4":{"count":0,"sum":0}})"},
    {"payments 01 and 1", Root::Ticket, nullptr, R"({"payments":{"01":20,"1":10}})", "payments",
     R"({"1":10})"},
    {"payment key card lands on 0", Root::Ticket, nullptr, R"({"payments":{"card":5,"1":2}})", "payments",
     R"({"0":5,"1":2})"},
    {"payment key card comes after key 0 and wins", Root::Ticket, nullptr,
     R"({"payments":{"0":100,"card":5}})", "payments", R"({"0":5})"},
    {"double map value given a text", Root::CloseShift, nullptr,
     R"({"zReport":{"startShiftNonNullableSums":{"1":"2.5"}}})", "zReport/startShiftNonNullableSums",
     R"({"1":2.5})"},
    {"map is replaced, not merged", Root::Ticket, R"({"payments":{"0":1,"1":2}})", R"({"payments":{"4":3}})",
     "payments", R"({"4":3})"},
    {"section codes are kept as texts", Root::CloseShift, nullptr,
     R"({"zReport":{"sections":{"01":{},"1":{},"":{}}}})", "zReport/sections",
     R"({"":{"operations":{}},"01":{"operations":{}},"1":{"operations":{}}})"},

    // date-times
    {"fraction of a second is dropped", Root::Ticket, nullptr, R"({"dateTime":"2024-03-01T12:30:00.250"})",
     "dateTime", R"("2024-03-01T12:30:00")"},
    {"local time is written back as it came", Root::Ticket, nullptr, R"({"dateTime":"2024-12-31T23:59:59"})",
     "dateTime", R"("2024-12-31T23:59:59")"},
    {"UTC keeps its Z", Root::Ticket, nullptr, R"({"dateTime":"2024-03-01T12:30:00Z"})", "dateTime",
     R"("2024-03-01T12:30:00Z")"},
    {"fixed offset keeps its offset", Root::CloseShift, nullptr,
     R"({"closeTime":"2024-03-01T12:30:00+05:00"})", "closeTime", R"("2024-03-01T12:30:00+05:00")"},
    {"text that is no date", Root::Ticket, nullptr, R"({"dateTime":"yesterday"})", "dateTime", R"("")"},
    {"number for a date-time", Root::Ticket, nullptr, R"({"dateTime":1709280000})", "dateTime", R"("")"},
    {"nested date-time", Root::Service, nullptr, R"({"offlinePeriod":{"beginTime":"2024-03-01T08:00:00"}})",
     "offlinePeriod", R"({"beginTime":"2024-03-01T08:00:00","endTime":""})"},

    // numbers and texts
    {"int given 2.6", Root::Ticket, nullptr, R"({"operation":2.6})", "operation", "3"},
    {"int given the text 7", Root::Ticket, nullptr, R"({"operation":"7"})", "operation", "7"},
    {"int given a text that is no number", Root::Ticket, nullptr, R"({"operation":"seven"})", "operation",
     "2"},
    {"int given an object", Root::Ticket, nullptr, R"({"operation":{"a":1}})", "operation", "2"},
    {"unsigned given a decimal text", Root::Service, nullptr,
     R"({"securityStats":{"geoPosition":{"latitude":"12"}}})", "securityStats/geoPosition/latitude", "12"},
    {"64-bit int keeps large values", Root::Service, nullptr,
     R"({"ticketAdInfos":[{"type":1,"version":4294967296}]})", "ticketAdInfos/0",
     R"({"type":1,"version":4294967296})"},
    {"int beyond its range keeps the default", Root::Ticket, nullptr, R"({"operation":4294967297})",
     "operation", "2"},
    {"nested int beyond its range keeps the default", Root::Ticket, nullptr,
     R"({"operatorCashier":{"code":4294967303,"name":"N"}})", "operatorCashier", R"({"code":0,"name":"N"})"},
    {"unsigned given a negative number keeps the default", Root::Service, nullptr,
     R"({"securityStats":{"geoPosition":{"latitude":-1}}})", "securityStats/geoPosition/latitude", "0"},
    {"64-bit int given a double beyond its range keeps the default", Root::Service, nullptr,
     R"({"ticketAdInfos":[{"version":1e19}]})", "ticketAdInfos/0/version", "0"},
    {"text given a number", Root::Ticket, nullptr, R"({"kkmInfoObject":{"data":5}})", "kkmInfoObject/data",
     R"("5")"},
    {"free variant keeps its text", Root::Ticket, nullptr, R"({"frShiftNumber":"12"})", "frShiftNumber",
     R"("12")"},
    {"variant map keeps nested values", Root::Service, nullptr,
     R"({"auxiliary":{"a":[1,{"b":null}],"c":"d"}})", "auxiliary", R"({"a":[1,{"b":null}],"c":"d"})"},

    // service documents
    {"bound tax type cannot be changed", Root::ServiceAnswer, nullptr,
     R"({"bindedTaxation":{"type":101,"taxes":[{"type":5,"percent":12}]}})", "bindedTaxation",
     R"({"taxes":[{"percent":12,"type":100}],"type":101})"},
    {"bound taxation from {}", Root::ServiceAnswer, nullptr, R"({"bindedTaxation":{}})", "bindedTaxation",
     R"({"taxes":[],"type":100})"},
    {"last document from {}", Root::ServiceAnswer, nullptr, R"({"lastDocumentInfo":{}})", "lastDocumentInfo",
     R"({"frShiftNumber":0,"printedDocumentNumber":0})"},
    {"module device information", Root::Service, nullptr,
     R"({"softwareInformation":{"moduleInfos":[{"deviceInfo":{"model":"M"}},{}]}})",
     "softwareInformation/moduleInfos",
     R"([{"buildArch":"","buildInfo":"","deviceInfo":{"firmwareVersion":"","manufacturer":"","model":"M"},)"
     R"("extendedInfo":{},"name":"","version":""},{"buildArch":"","buildInfo":"","extendedInfo":{},"name":"","version":""}])"},
    {"report flags are accepted", Root::Report, nullptr, R"({"wasInit":true,"report":1})", "wasInit", "true"},
};

TEST(ConversionEdges, IncomingJsonAsWrittenBack)
{
    for (const Edge& edge : edges) {
        const std::optional<QJsonValue> value = valueAt(convert(edge), QString::fromLatin1(edge.path));
        if (!edge.expected) {
            EXPECT_FALSE(value.has_value()) << edge.name << ": " << compact(value.value_or(QJsonValue()));
            continue;
        }
        ASSERT_TRUE(value.has_value()) << edge.name;
        EXPECT_EQ(compact(*value), edge.expected) << edge.name;
    }
}

// A value that reads as NaN or an infinity is no number: every number kind treats it as it treats a
// text that is no number, so nothing non-finite (written as null) reaches a receipt or the counters.
TEST(ConversionEdges, NonFiniteValueCountsAsNoNumber)
{
    struct Kind
    {
        const char* name;
        Root root;
        const char* before;
        const char* input; // %1 is the value
        const char* path;
        const char* expected;
    };
    const Kind kinds[] = {
        {"double keeps its value", Root::Ticket, R"({"amounts":{"total":5}})", R"({"amounts":{"total":%1}})",
         "amounts/total", "5"},
        {"optional double holds 0", Root::Ticket, R"({"amounts":{"taken":5}})", R"({"amounts":{"taken":%1}})",
         "amounts/taken", "0"},
        {"int-keyed double map holds 0", Root::Ticket, nullptr, R"({"payments":{"0":%1,"1":10}})", "payments",
         R"({"0":0,"1":10})"},
        {"nested double map holds 0", Root::CloseShift, nullptr,
         R"({"zReport":{"nonNullableSums":{"2":%1}}})", "zReport/nonNullableSums", R"({"2":0})"},
        {"double in a list element keeps its default", Root::Ticket, nullptr, R"({"taxes":[{"sum":%1}]})",
         "taxes/0/sum", "0"},
        {"int keeps its value", Root::Ticket, R"({"operation":3})", R"({"operation":%1})", "operation", "3"},
        {"unsigned keeps its value", Root::Service, R"({"securityStats":{"geoPosition":{"latitude":4}}})",
         R"({"securityStats":{"geoPosition":{"latitude":%1}}})", "securityStats/geoPosition/latitude", "4"},
        {"64-bit int keeps its value", Root::Service, nullptr, R"({"ticketAdInfos":[{"version":%1}]})",
         "ticketAdInfos/0/version", "0"},
    };
    const char* const texts[] = {R"("NaN")",  R"("nan")",   R"("inf")",
                                 R"("-inf")", R"("1e999")", R"("-1e999")"};

    for (const Kind& kind : kinds) {
        for (const char* text : texts) {
            const QByteArray input = QString::fromUtf8(kind.input).arg(QString::fromUtf8(text)).toUtf8();
            const Edge edge{kind.name, kind.root, kind.before, input.constData(), kind.path, kind.expected};
            const std::optional<QJsonValue> value = valueAt(convert(edge), QString::fromLatin1(kind.path));
            ASSERT_TRUE(value.has_value()) << kind.name << " given " << text;
            EXPECT_EQ(compact(*value), kind.expected) << kind.name << " given " << text;
        }
    }

    // The same for numbers that reach a document as doubles, not as text.
    for (const double number : {qQNaN(), qInf(), -qInf()}) {
        SCOPED_TRACE(number);
        TicketRequest ticket =
            TicketRequest::fromJson(parseObject(R"({"operation":3,"amounts":{"total":5}})"));
        applyVariantMap(QVariantMap{{"operation", number},
                                    {"amounts", QVariantMap{{"total", number}, {"taken", number}}},
                                    {"payments", QVariantMap{{"4", number}}}},
                        ticket);
        EXPECT_EQ(ticket.operation, 3);
        EXPECT_EQ(ticket.amounts.total, 5);
        EXPECT_EQ(ticket.amounts.taken, std::optional<double>(0));
        EXPECT_EQ(ticket.payments, (QMap<int, double>{{4, 0}}));
    }
}

// Every integer kind a property may have; each starts at 7 so that a value Qt would have cut to 0
// is told from the default.
struct Integers
{
    Q_GADGET
    Q_PROPERTY(int int32 MEMBER int32)
    Q_PROPERTY(uint uint32 MEMBER uint32)
    Q_PROPERTY(qlonglong int64 MEMBER int64)
    Q_PROPERTY(qulonglong uint64 MEMBER uint64)

public:
    int int32 = 7;
    uint uint32 = 7;
    qlonglong int64 = 7;
    qulonglong uint64 = 7;

    QString held(const QString& name) const
    {
        return staticMetaObject.property(staticMetaObject.indexOfProperty(name.toLatin1()))
            .readOnGadget(this)
            .toString();
    }
};

// A number beyond the range of an integer property is no number for it, as a text that is no number
// is: the property keeps its value instead of the number's low bits, or 0 for a double beyond 64 bits.
TEST(ConversionEdges, IntegerBeyondItsRangeCountsAsNoNumber)
{
    struct Case
    {
        const char* property;
        const char* json; // the value as the point-of-sale program writes it
        const char* held;
    };
    const char* const kept = "7";
    const Case cases[] = {
        {"int32", "2147483647", "2147483647"},
        {"int32", "-2147483648", "-2147483648"},
        {"int32", "2147483648", kept},
        {"int32", "-2147483649", kept},
        {"int32", "4294967298", kept},
        {"int32", "2147483647.4", "2147483647"},
        {"int32", "2147483647.5", kept},
        {"int32", "-2147483648.5", kept},
        {"int32", "1e20", kept},
        {"int32", "-1e300", kept},
        {"int32", R"("-2147483648")", "-2147483648"},
        {"int32", R"("4294967298")", kept},
        {"uint32", "4294967295", "4294967295"},
        {"uint32", "4294967296", kept},
        {"uint32", "-1", kept},
        {"uint32", "-0.4", "0"},
        {"uint32", "-0.5", kept},
        {"uint32", "8589934593", kept},
        {"uint32", R"("4294967296")", kept},
        {"int64", "9223372036854775807", "9223372036854775807"},
        {"int64", "-9223372036854775808", "-9223372036854775808"},
        {"int64", "9223372036854775808", kept}, // read as the double 2^63
        {"int64", "-9.3e18", kept},
        {"int64", "1e20", kept},
        {"int64", R"("9223372036854775808")", kept},
        {"uint64", "9223372036854775807", "9223372036854775807"},
        {"uint64", "1e19", "10000000000000000000"},
        {"uint64", "18446744073709549568", "18446744073709549568"}, // the largest double below 2^64
        {"uint64", "18446744073709551615", kept},                   // read as the double 2^64
        {"uint64", "-1", kept},
        {"uint64", R"("18446744073709551615")", "18446744073709551615"},
        {"uint64", R"("18446744073709551616")", kept},
    };
    for (const Case& c : cases) {
        const QString property = QString::fromLatin1(c.property);
        const QString json = QStringLiteral(R"({"%1":%2})").arg(property, QString::fromLatin1(c.json));
        const Integers integers = fromJsonObject<Integers>(parseObject(json));
        EXPECT_EQ(integers.held(property).toStdString(), c.held) << json.toStdString();
    }
}

// Which taxes of a receipt the configured taxation type reaches.
TEST(ConversionEdges, TaxationTypeFollowsTheItemType)
{
    struct Line
    {
        int type;
        bool commodityTaxed;
    };
    const Line lines[] = {{1, true},  {2, true},  {3, false}, {4, false},
                          {5, false}, {6, false}, {0, false}, {7, false}};

    QJsonArray items;
    for (const Line& line : lines)
        items.append(QJsonObject{
            {"type", line.type},
            {"commodity", QJsonObject{{"taxes", QJsonArray{QJsonObject()}}}},
            {"modifier", QJsonObject{{"taxes", QJsonArray{QJsonObject{{"taxationType", "x"}}}}}}});
    QJsonObject json{{"items", items},
                     {"taxes", QJsonArray{QJsonObject(), QJsonObject{{"taxationType", 100}}}}};
    json.insert("amounts",
                parseObject(R"({"markup":{"taxes":[{}]},"discount":{"taxes":[{"taxationType":102}]}})"));

    TicketRequest ticket = TicketRequest::fromJson(json);
    ASSERT_TRUE(ticket.taxes.at(0).taxationType.isNull());
    ticket.setTaxationType(101);

    for (const Tax& tax : ticket.taxes)
        EXPECT_EQ(tax.taxationType, QVariant(101));
    for (qsizetype i = 0; i < ticket.items.size(); ++i) {
        const Item& item = ticket.items.at(i);
        const Line& line = lines[i];
        const QVariant commodity = item.commodity.taxes.at(0).taxationType;
        const QVariant modifier = item.modifier.taxes.at(0).taxationType;
        if (line.commodityTaxed) {
            EXPECT_EQ(commodity, QVariant(101)) << "type " << line.type;
            EXPECT_EQ(modifier, QVariant("x")) << "type " << line.type;
        } else {
            EXPECT_TRUE(commodity.isNull()) << "type " << line.type;
            EXPECT_EQ(modifier, QVariant(101)) << "type " << line.type;
        }
    }
    EXPECT_TRUE(ticket.amounts.markup->taxes.at(0).taxationType.isNull());
    EXPECT_EQ(ticket.amounts.discount->taxes.at(0).taxationType.toInt(), 102);
    EXPECT_EQ(compact(valueAt(ticket.toJson(), "taxes/0/taxationType").value()), "101");
}

} // namespace

#include "conversionedges_test.moc"
