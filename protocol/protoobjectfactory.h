#pragma once

#include "utility/mockfactory.h"

#include "message.pb.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>

namespace google::protobuf {
class Message;
}

namespace taxvault {

class Modifier;
class OperatorCashier;
class ServiceRequest;
class Tax;
class TicketRequest;
class ZXReport;

// Turns the service's documents into operator requests. It validates nothing:
// values outside an enumeration go out as they are and the server judges them.
// Obtain one through MockFactory<ProtoObjectFactory>::create() per conversion.
class ProtoObjectFactory : public MockFactory<ProtoObjectFactory>
{
public:
    virtual ~ProtoObjectFactory();

    // The body for a queue message {"command": n, "request": {...}}; neither
    // `command` nor `service` is set, the caller does that.
    ofd::proto::Request createRequest(const QJsonObject& message) const;
    ofd::proto::ServiceRequest createServiceRequest(const ServiceRequest& request) const;

    // Encodes without testing required fields; throws ServiceException when
    // the message cannot be encoded.
    static QByteArray serialize(const google::protobuf::Message& message);

    static ofd::proto::TicketRequest createTicketRequest(const TicketRequest& request);
    static ofd::proto::TicketRequest_Tax createTicketTax(const Tax& tax);
    static ofd::proto::TicketRequest_Modifier createModifier(const Modifier& modifier);
    static ofd::proto::Operator createOperator(const OperatorCashier& cashier);

    // Whole units and hundredths, truncated; amounts of 0.005 or less, and
    // amounts that are not finite or too large for 64 bits, give 0 and 0.
    static ofd::proto::Money createMoney(double amount);
    // The numbers as the date-time holds them, in its own time zone; an
    // unset date-time gives date 0-0-0 and time numbers of 4294967295.
    static ofd::proto::DateTime createDateTime(const QDateTime& dateTime);

    // A report of fixed shape, sealed with its checksum.
    static ofd::proto::ZXReport createZXReport(const ZXReport& report);
    static ofd::proto::ZXReport_Tax_TaxOperation createTaxOperation(int operation, double turnover, double taxSum);
};

} // namespace taxvault
