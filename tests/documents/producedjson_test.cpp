// The JSON that other parts of the service and the point-of-sale program read from the documents.

#include "documents/closeshiftrequest.h"
#include "documents/documentmapping.h"
#include "documents/kkminfoobject.h"
#include "documents/moneyplacementrequest.h"
#include "documents/moneyplacementresponse.h"
#include "documents/reportresponse.h"
#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"
#include "documents/ticketrequest.h"
#include "documents/ticketresponse.h"
#include "jsontesthelpers.h"

#include <functional>

using namespace taxvault;
using taxvault::testing::compact;
using taxvault::testing::parseObject;

namespace {

const std::string block = R"({"data":"","errorMessage":"","lockDate":"","offlineModeReason":0,)"
                          R"("serviceStatus":0,"serviceStatusByDbState":0})";
const std::string regInfo =
    R"({"kkm":{"fnsKkmId":"","kkmId":"","pointOfPaymentNumber":"","serialNumber":"",)"
    R"("terminalNumber":""},"org":{"address":"","addressKz":"","inn":"","okved":"","title":""}})";
const std::string report =
    R"({"cashSum":0,"closeShiftTime":"","dateTime":"","discounts":{},"markups":{},)"
    R"("moneyPlacements":{},"nonNullableSums":{},"openShiftTime":"","operations":{},)"
    R"("revenue":0,"sections":{},"shiftNumber":0,"startShiftNonNullableSums":{},"taxes":{},)"
    R"("ticketOperations":{},"totalResult":{}})";
const std::string cashier = R"({"code":0,"name":""})";
const std::string serviceRequest =
    R"({"auxiliary":{},"getBindedTaxation":true,"getRegInfoFlag":true,"kkmInfoObject":)" + block +
    R"(,"offlinePeriod":{"beginTime":"","endTime":""},"regInfo":)" + regInfo +
    R"(,"securityStats":{"geoPosition":{"latitude":0,"longitude":0,"source":""}},"ticketAdInfos":[]})";

struct Produced
{
    const char* name;
    std::function<QJsonObject()> produce;
    std::string expected;
};

TEST(ProducedJson, DocumentsOthersRelyOn)
{
    const std::vector<Produced> cases = {
        {"default status block", [] { return KkmInfoObject().toJson(); },
         R"({"kkmInfoObject":)" + block + "}"},
        {"status block sorted whatever the order of setting",
         [] {
             KkmInfoObject status;
             status.serviceStatusByDbState = 2;
             status.data = QStringLiteral("1709280000");
             status.lockDate = QDateTime(QDate(2024, 3, 4), QTime(9, 5), Qt::UTC);
             status.errorMessage = QStringLiteral("Нет связи");
             status.serviceStatus = 1;
             status.offlineModeReason = 1;
             return status.toJson();
         },
         R"({"kkmInfoObject":{"data":"1709280000","errorMessage":"Нет связи","lockDate":"2024-03-04T09:05:00Z",)"
         R"("offlineModeReason":1,"serviceStatus":1,"serviceStatusByDbState":2}})"},
        {"service request from {}", [] { return ServiceRequest::fromJson({}).toJson(); }, serviceRequest},
        {"service request after its offline period is reset",
         [] {
             ServiceRequest service;
             service.offlinePeriod.beginTime = QDateTime(QDate(2024, 3, 1), QTime(8, 0));
             service.offlinePeriod.endTime = QDateTime(QDate(2024, 3, 1), QTime(9, 0), Qt::UTC);
             service.resetOfflinePeriod();
             return service.toJson();
         },
         serviceRequest},
        {"receipt from {}", [] { return TicketRequest::fromJson({}).toJson(); },
         R"({"amounts":{"total":0},"dateTime":"","domain":{"type":0},"items":[],"kkmInfoObject":)" + block +
             R"(,"operation":2,"operatorCashier":)" + cashier + R"(,"payments":{},"taxes":[]})"},
        {"shift closing from {}", [] { return CloseShiftRequest::fromJson({}).toJson(); },
         R"({"closeTime":"","isOfflineFlag":false,"kkmInfoObject":)" + block + R"(,"operatorCashier":)" +
             cashier + R"(,"withdrawMoney":false,"zReport":)" + report + "}"},
        {"cash placement from {}", [] { return MoneyPlacementRequest::fromJson({}).toJson(); },
         R"({"dateTime":"","isOfflineFlag":false,"kkmInfoObject":)" + block +
             R"(,"operation":0,"operatorCashier":)" + cashier + R"(,"sum":0})"},
        {"cash placement answer", [] { return MoneyPlacementResponse().toJson(); },
         R"({"kkmInfoObject":)" + block + "}"},
        {"report answer", [] { return ReportResponse().toJson(); },
         R"({"kkmInfoObject":)" + block + R"(,"report":0,"zxReport":)" + report + "}"},
        {"service answer", [] { return ServiceResponse().toJson(); },
         R"({"auxiliary":{},"kkmInfoObject":)" + block + R"(,"regInfo":)" + regInfo + R"(,"ticketAds":[]})"},
        {"service answer with an empty bound taxation",
         [] {
             ServiceResponse answer;
             answer.bindedTaxation = BindedTaxation();
             answer.lastDocumentInfo = LastDocumentInfo{7, 1LL << 40};
             return answer.toJson();
         },
         R"({"auxiliary":{},"bindedTaxation":{"taxes":[],"type":100},"kkmInfoObject":)" + block +
             R"(,"lastDocumentInfo":{"frShiftNumber":7,"printedDocumentNumber":1099511627776},"regInfo":)" +
             regInfo + R"(,"ticketAds":[]})"},
        {"receipt answer without a QR code keeps the key as null", [] { return TicketResponse().toJson(); },
         R"({"kkmInfoObject":)" + block + R"(,"qrCode":null,"ticketNumber":""})"},
        {"receipt answer with a QR code as UTF-8 text",
         [] {
             TicketResponse answer;
             answer.ticketNumber = QStringLiteral("T-1");
             answer.qrCode = QByteArray("https://x/?i=1&ф=2");
             return answer.toJson();
         },
         R"({"kkmInfoObject":)" + block + R"(,"qrCode":"https://x/?i=1&ф=2","ticketNumber":"T-1"})"},
        {"numbers: integral doubles without fraction, NaN as null, map keys in text order",
         [] {
             ZXReport zx;
             zx.cashSum = 100.0;
             zx.revenue = qQNaN();
             zx.nonNullableSums = {{9, 1.5}, {10, -0.25}, {-1, 2}};
             zx.moneyPlacements[1].operationsTotalCount = 4000000000u;
             QJsonObject all = toJsonObject(zx);
             QJsonObject picked;
             for (const char* key : {"cashSum", "revenue", "nonNullableSums", "moneyPlacements"})
                 picked.insert(QLatin1String(key), all.value(QLatin1String(key)));
             return picked;
         },
         R"({"cashSum":100,"moneyPlacements":{"1":{"offlineCount":0,"operationsCount":0,"operationsSum":0,)"
         R"("operationsTotalCount":4000000000}},"nonNullableSums":{"-1":2,"10":-0.25,"9":1.5},"revenue":null})"},
    };
    for (const Produced& c : cases)
        EXPECT_EQ(compact(c.produce()), c.expected) << c.name;
}

// skipNulls and the excluded names are honoured at the top level only; nested documents always
// leave their nulls out.
TEST(ProducedJson, VariantMapOptions)
{
    TicketRequest ticket =
        TicketRequest::fromJson(parseObject(R"({"amounts":{"total":5},"frShiftNumber":3})"));

    const QVariantMap all = toVariantMap(ticket, false).toMap();
    EXPECT_TRUE(all.contains("offlineTicketNumber"));
    EXPECT_TRUE(all.value("offlineTicketNumber").isNull());
    EXPECT_EQ(all.value("amounts").toMap().keys(), QStringList{"total"});

    const QVariantMap trimmed = toVariantMap(ticket, true, {"items", "Taxes"}).toMap();
    EXPECT_FALSE(trimmed.contains("offlineTicketNumber"));
    EXPECT_FALSE(trimmed.contains("items"));
    EXPECT_TRUE(trimmed.contains("taxes"));
    EXPECT_EQ(trimmed.value("frShiftNumber").toInt(), 3);
}

} // namespace
