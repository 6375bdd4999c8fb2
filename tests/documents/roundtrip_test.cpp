// Documents survive their own JSON, compare by value, and convert safely on several threads.

#include "documents/closeshiftrequest.h"
#include "documents/documentmapping.h"
#include "documents/moneyplacementrequest.h"
#include "documents/reportrequest.h"
#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"
#include "documents/ticketrequest.h"
#include "jsontesthelpers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimeZone>

#include <cmath>

#include <thread>
#include <vector>

using namespace taxvault;
using taxvault::testing::compact;
using taxvault::testing::parseObject;

namespace {

const QDateTime localNoon(QDate(2024, 3, 1), QTime(12, 30, 5));

Tax tax(int percent, double sum, QVariant taxationType = {})
{
    Tax t;
    t.percent = percent;
    t.sum = sum;
    t.taxationType = taxationType;
    t.isInTotalSumFlag = true;
    return t;
}

TicketRequest fullTicket()
{
    TicketRequest ticket;
    ticket.kkmInfoObject.lockDate = QDateTime(QDate(2024, 3, 4), QTime(9, 0), QTimeZone(5 * 3600));
    ticket.kkmInfoObject.errorMessage = QStringLiteral("Сервер недоступен");
    ticket.operation = 3;
    ticket.dateTime = localNoon;
    ticket.operatorCashier = {7, QStringLiteral("Иванова")};
    ticket.domain.type = 4;

    Item goods;
    goods.commodity.name = QStringLiteral("Хлеб");
    goods.commodity.sectionCode = QStringLiteral("01");
    goods.commodity.quantity = 2000;
    goods.commodity.price = 150.5;
    goods.commodity.sum = 301;
    goods.commodity.taxes = {tax(12, 32.25, 100)};
    goods.commodity.exciseStamp = QStringLiteral("EX-1");
    goods.commodity.physicalLabel = QStringLiteral("PL");
    goods.commodity.barcode = QStringLiteral("4870001");
    goods.commodity.ntin = QStringLiteral("N");
    goods.commodity.measureUnitCode = QStringLiteral("796");
    goods.commodity.auxiliary = {{"k", "v"}, {"n", 3}};
    Item discount;
    discount.type = 5;
    discount.modifier = {QStringLiteral("Скидка"), 10.5, {tax(12, 1.1)}, {{"why", "card"}}};
    ticket.items = {goods, discount, Item()};

    ticket.payments = {{0, 100}, {1, 190.5}, {4, 0.25}};
    ticket.taxes = {tax(0, 0, QStringLiteral("101"))};
    ticket.amounts.total = 290.75;
    ticket.amounts.taken = 300;
    ticket.amounts.change = 9.25;
    ticket.amounts.markup = Modifier{QStringLiteral("M"), 1, {}, {}};
    ticket.amounts.discount = Modifier();
    ticket.extensionOptions =
        ExtensionOptions{QStringLiteral("a@b.kz"), QStringLiteral("+7701"), QString(), {}};
    ticket.offlineTicketNumber = 1709280000;
    ticket.printedDocumentNumber = QStringLiteral("A-17");
    ticket.frShiftNumber = 12;
    ticket.parentTicket =
        ParentTicket{QStringLiteral("P-1"), localNoon.toUTC(), QStringLiteral("K"), 50, true};
    return ticket;
}

ZXReport fullReport()
{
    ZXReport zx;
    zx.dateTime = localNoon;
    zx.openShiftTime = localNoon.addDays(-1);
    zx.closeShiftTime = QDateTime(QDate(2024, 3, 1), QTime(23, 0), Qt::UTC);
    zx.shiftNumber = 41;
    zx.sections[QStringLiteral("01")].operations[2] = Operation{3, 45.5};
    zx.sections[QString()].operations[0] = Operation{1, 1};
    zx.operations = {{2, Operation{10, 1000}}, {3, Operation{1, 5}}};
    zx.discounts[2] = Operation{2, 3.5};
    zx.markups[2] = Operation{1, 0.5};
    zx.totalResult[2] = Operation{10, 995};
    zx.taxes[12].operations[2] = TaxOperation{1000, 892.86, 107.14};
    zx.startShiftNonNullableSums = {{2, 50000}, {3, 120}};
    TicketOperation sells{10, 9, 1, 1000, 3.5, 0.5, 12};
    sells.payments = {{0, TicketOperationPayment{600, 6}}, {4, TicketOperationPayment{400, 4}}};
    zx.ticketOperations[2] = sells;
    zx.moneyPlacements = {{0, MoneyPlacement{2, 2, 5000, 1}}, {1, MoneyPlacement{1, 1, 200, 0}}};
    zx.cashSum = 4800;
    zx.revenue = -12.5;
    zx.nonNullableSums = {{2, 51000}, {3, 125}, {-1, 1}};
    return zx;
}

ServiceRequest fullServiceRequest()
{
    ServiceRequest service;
    CommQuality quality;
    quality.avgConnectTime = 120;
    quality.avgPing = 35;
    service.commQuality = quality;
    SoftwareInformation software;
    ModuleInformation module;
    module.name = QStringLiteral("taxvault");
    module.deviceInfo =
        DeviceInformation{QStringLiteral("Korvan"), QStringLiteral("K1"), QStringLiteral("1.2")};
    module.extendedInfo = {{"build", "release"}};
    software.moduleInfos = {module, ModuleInformation()};
    software.osFamily = QStringLiteral("Linux");
    software.partnerId = 42;
    service.softwareInformation = software;
    service.offlinePeriod.beginTime = localNoon;
    service.offlinePeriod.endTime = localNoon.addSecs(3600).toUTC();
    service.nomenclatureVersion = 9;
    service.ticketAdInfos = {TicketAdInfo{0, 1}, TicketAdInfo{3, 1LL << 40}};
    service.getRegInfoFlag = false;
    service.auxiliary = {{"serverTime", "2024-03-01"}, {"list", QVariantList{1, "two"}}};
    service.regInfo.kkm.kkmId = QStringLiteral("K-7");
    service.regInfo.kkm.serialNumber = QStringLiteral("SN");
    service.regInfo.pos =
        PosRegInfo{QStringLiteral("Магазин"), QStringLiteral("Адрес"), QString(), 43238, 76945};
    service.regInfo.org.inn = QStringLiteral("123456789012");
    service.securityStats.geoPosition = GeoPosition{43238, 76945, QStringLiteral("gps")};
    return service;
}

// Through the compact text, as the documents travel through the queue and the database.
QJsonObject throughText(const QJsonObject& json)
{
    return QJsonDocument::fromJson(QJsonDocument(json).toJson(QJsonDocument::Compact)).object();
}

TEST(RoundTrip, DocumentsSurviveTheirJson)
{
    const TicketRequest ticket = fullTicket();
    EXPECT_EQ(TicketRequest::fromJson(throughText(ticket.toJson())), ticket);
    EXPECT_EQ(TicketRequest::fromJson(throughText(TicketRequest().toJson())), TicketRequest());

    CloseShiftRequest close;
    close.closeTime = localNoon;
    close.isOfflineFlag = true;
    close.frShiftNumber = 41;
    close.withdrawMoney = true;
    close.zReport = fullReport();
    close.printedDocumentNumber = 900;
    close.operatorCashier = {1, QStringLiteral("Петров")};
    EXPECT_EQ(CloseShiftRequest::fromJson(throughText(close.toJson())), close);

    ReportRequest report;
    report.report = 1;
    report.dateTime = localNoon;
    report.zxReport = fullReport();
    report.wasInit = true;
    EXPECT_EQ(ReportRequest::fromJson(throughText(toJsonObject(report))), report);

    MoneyPlacementRequest placement;
    placement.dateTime = localNoon;
    placement.operation = 1;
    placement.sum = 2500.75;
    placement.frShiftNumber = QStringLiteral("41");
    placement.operatorCashier.code = 3;
    EXPECT_EQ(MoneyPlacementRequest::fromJson(throughText(placement.toJson())), placement);

    const ServiceRequest service = fullServiceRequest();
    EXPECT_EQ(ServiceRequest::fromJson(throughText(service.toJson())), service);

    ServiceResponse answer;
    answer.ticketAds = {TicketAd{TicketAdInfo{1, 5}, QStringLiteral("Спасибо за покупку")}};
    answer.regInfo = service.regInfo;
    answer.lastDocumentInfo = LastDocumentInfo{41, 1LL << 33};
    BindedTaxation bound;
    bound.type = 101;
    bound.taxes = {BindedTax{100, 12}, BindedTax{100, 0}};
    answer.bindedTaxation = bound;
    answer.auxiliary = {{"a", "b"}};
    EXPECT_EQ(fromJsonObject<ServiceResponse>(throughText(answer.toJson())), answer);
}

// Same kinds, same numbers, same text: what a later reader of the object could tell apart.
void expectSameJson(const QJsonValue& ours, const QJsonValue& qts, const QString& path)
{
    ASSERT_EQ(ours.type(), qts.type()) << path.toStdString();
    if (ours.isObject()) {
        const QJsonObject a = ours.toObject(), b = qts.toObject();
        ASSERT_EQ(a.keys(), b.keys()) << path.toStdString();
        for (const QString& key : a.keys())
            expectSameJson(a.value(key), b.value(key), path + u'.' + key);
    } else if (ours.isArray()) {
        const QJsonArray a = ours.toArray(), b = qts.toArray();
        ASSERT_EQ(a.size(), b.size()) << path.toStdString();
        for (qsizetype i = 0; i < a.size(); ++i)
            expectSameJson(a.at(i), b.at(i), path + QStringLiteral("[%1]").arg(i));
    } else {
        // An integer and a double of the same value read back as different variants.
        EXPECT_EQ(ours.toVariant().metaType(), qts.toVariant().metaType()) << path.toStdString();
        EXPECT_EQ(ours.toVariant(), qts.toVariant()) << path.toStdString();
    }
}

TEST(RoundTrip, DocumentJsonIsQtsConversionOfItsVariantMap)
{
    ServiceResponse answer;
    answer.regInfo = fullServiceRequest().regInfo;
    answer.lastDocumentInfo = LastDocumentInfo{41, 1LL << 33};
    answer.auxiliary = {{"a", "b"}, {"n", QVariant()}, {"list", QVariantList{1, "x", QVariant()}}};
    const QVariantMap documents = {
        {"ticket", toVariantMap(fullTicket(), false)},
        {"empty ticket", toVariantMap(TicketRequest(), false)},
        {"service request", toVariantMap(fullServiceRequest(), false)},
        {"service answer", toVariantMap(answer, false)},
    };
    // Every kind of value, including those Qt converts on the documents' behalf.
    const QVariantMap kinds = {
        {"bool", true},
        {"int", -7},
        {"long", (qlonglong(1) << 60) + 1},
        {"unsigned", 4000000000u},
        {"huge unsigned", quint64(1) << 63},
        {"double", 0.1},
        {"whole double", 150.0},
        {"negative zero", -0.0},
        {"nan", std::nan("")},
        {"infinity", HUGE_VAL},
        {"float", 1.5f},
        {"text", QStringLiteral("Хлеб \"1\"\n")},
        {"null text", QString()},
        {"invalid", QVariant()},
        {"null", QVariant::fromValue(nullptr)},
        {"bytes", QByteArray("\x01\xff")},
        {"date-time", QDateTime(QDate(2024, 3, 1), QTime(12, 0), QTimeZone::utc())},
        {"texts", QStringList{"a", "b"}},
        {"empty map", QVariantMap()},
        {"empty list", QVariantList()},
        {"nested", QVariantMap{{"deeper", QVariantList{QVariantMap{{"x", 1.25}}, QVariantList{}}}}},
    };
    for (const QVariantMap& map : {documents, kinds}) {
        const QJsonObject ours = mapping::jsonObject(map);
        expectSameJson(ours, QJsonObject::fromVariantMap(map), QStringLiteral("$"));
        EXPECT_EQ(QJsonDocument(ours).toJson(), QJsonDocument(QJsonObject::fromVariantMap(map)).toJson());
    }
}

// A large document is converted, never kept: one operator's answer of megabytes
// must not stay in memory for the life of the service.
TEST(RoundTrip, LastJsonKeepsNothingLarge)
{
    LastJson<ServiceRequest> last;
    ServiceRequest request = fullServiceRequest();
    EXPECT_EQ(last(request), request.toJson());
    EXPECT_TRUE(last.holds());
    request.auxiliary = {{"large", QString(1024 * 1024, u'x')}};
    EXPECT_EQ(last(request), request.toJson());
    EXPECT_FALSE(last.holds());
    request.auxiliary.clear();
    EXPECT_EQ(last(request), request.toJson());
    EXPECT_TRUE(last.holds());
}

// The memo gives each document its own JSON, however little it differs from the
// one before: a bit of a number, a kind of value, the zone one instant is given in.
TEST(RoundTrip, LastJsonIsEachDocumentsOwnJson)
{
    LastJson<ServiceRequest> last;
    ServiceRequest request = fullServiceRequest();
    const QDateTime noonUtc(QDate(2024, 3, 1), QTime(12, 0), QTimeZone::utc());
    const QVariant values[] = {
        QVariant(),
        QVariant(),
        1,
        1.0,
        qlonglong(1),
        1.5,
        std::nextafter(1.5, 2.0),
        QStringLiteral("1"),
        QString(),
        QVariantList{1, "x"},
        QVariantList{1, "y"},
        QVariantMap{{"m", QVariant()}},
        QVariantMap{{"m", QVariant::fromValue(nullptr)}},
        1.5f,
        1.5f,
        QStringList{"a"},
        QStringList{"b"},
        (qlonglong(1) << 62) + 1,
        double(qlonglong(1) << 62),
    };
    for (const QDateTime& begin : {noonUtc, noonUtc.toLocalTime(), noonUtc}) {
        request.offlinePeriod.beginTime = begin;
        for (const QVariant& value : values) {
            SCOPED_TRACE(value.typeName() ? value.typeName() : "invalid");
            request.auxiliary = {{"n", value}};
            const QJsonObject got = last(request);
            const QJsonObject expected = toJsonObject(request);
            EXPECT_TRUE(mapping::identical(got, expected));
            EXPECT_EQ(QJsonDocument(got).toJson(), QJsonDocument(expected).toJson());
        }
    }
}

// What a round trip cannot keep, and why equality tells.
TEST(RoundTrip, LossesAreTheDocumentedOnes)
{
    TicketRequest ticket;
    ticket.dateTime = localNoon.addMSecs(250);
    ticket.offlineTicketNumber = QVariant::fromValue(nullptr);
    ticket.amounts.total = qQNaN();
    const TicketRequest back = TicketRequest::fromJson(throughText(ticket.toJson()));

    EXPECT_EQ(back.dateTime, localNoon);
    EXPECT_EQ(back.dateTime.timeSpec(), Qt::LocalTime);
    EXPECT_FALSE(back.offlineTicketNumber.isValid());
    EXPECT_EQ(back.amounts.total, 0);
}

TEST(RoundTrip, EqualityIsMemberwise)
{
    struct Pair
    {
        const char* name;
        std::function<void(TicketRequest&)> changeLeft;
        std::function<void(TicketRequest&)> changeRight;
        bool equal;
    };
    const auto none = [](TicketRequest&) {};
    const std::vector<Pair> pairs = {
        {"defaults", none, none, true},
        {"null and empty text", [](TicketRequest& t) { t.operatorCashier.name = QString(); },
         [](TicketRequest& t) { t.operatorCashier.name = QStringLiteral(""); }, true},
        {"0 and -0", [](TicketRequest& t) { t.amounts.total = 0.0; },
         [](TicketRequest& t) { t.amounts.total = -0.0; }, true},
        {"NaN is unequal to itself", [](TicketRequest& t) { t.amounts.total = qQNaN(); },
         [](TicketRequest& t) { t.amounts.total = qQNaN(); }, false},
        {"the same instant in two zones", [](TicketRequest& t) { t.dateTime = localNoon; },
         [](TicketRequest& t) { t.dateTime = localNoon.toUTC(); }, true},
        {"unset and JSON-null free variant", none,
         [](TicketRequest& t) { t.frShiftNumber = QVariant::fromValue(nullptr); }, false},
        {"int and 64-bit int free variant", [](TicketRequest& t) { t.frShiftNumber = 5; },
         [](TicketRequest& t) { t.frShiftNumber = qlonglong(5); }, true},
        {"empty and default optional", none, [](TicketRequest& t) { t.parentTicket = ParentTicket(); },
         false},
        {"optional double 0 and empty", none, [](TicketRequest& t) { t.amounts.taken = 0; }, false},
        {"nested status block", none, [](TicketRequest& t) { t.kkmInfoObject.offlineModeReason = 2; }, false},
        {"item order",
         [](TicketRequest& t) {
             t.items = {Item(), Item{5, {}, {}}};
         },
         [](TicketRequest& t) {
             t.items = {Item{5, {}, {}}, Item()};
         },
         false},
        {"payment key",
         [](TicketRequest& t) {
             t.payments = {{0, 1}};
         },
         [](TicketRequest& t) {
             t.payments = {{1, 1}};
         },
         false},
    };
    for (const Pair& pair : pairs) {
        TicketRequest left;
        TicketRequest right;
        pair.changeLeft(left);
        pair.changeRight(right);
        EXPECT_EQ(left == right, pair.equal) << pair.name;
        const TicketRequest copy = right;
        EXPECT_EQ(copy == right, right == right) << pair.name;
    }
}

// The main, queue and lock threads convert their own documents at the same time.
TEST(RoundTrip, ThreeThreadsAtOnce)
{
    const TicketRequest ticket = fullTicket();
    const ServiceRequest service = fullServiceRequest();
    const std::string ticketJson = compact(ticket.toJson());
    const std::string serviceJson = compact(service.toJson());

    std::vector<int> failures(3, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const TicketRequest ticketBack =
                    TicketRequest::fromJson(parseObject(QString::fromStdString(ticketJson)));
                const ServiceRequest serviceBack =
                    ServiceRequest::fromJson(parseObject(QString::fromStdString(serviceJson)));
                if (!(ticketBack == ticket) || compact(serviceBack.toJson()) != serviceJson)
                    ++failures[t];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(3, 0));
}

} // namespace
