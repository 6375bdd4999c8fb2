#pragma once

#include "documents/serviceresponse.h"
#include "documents/zxreport.h"
#include "utility/mockfactory.h"

#include "message.pb.h"

#include <QDateTime>
#include <QJsonObject>

namespace taxvault {

// Turns the operator's answers into the service's documents and reply JSON.
// Every value is taken as the message holds it; a missing sub-message reads
// as its default instance. Obtain one through MockFactory<KkmInfoObjectFactory>.
class KkmInfoObjectFactory : public MockFactory<KkmInfoObjectFactory>
{
public:
    virtual ~KkmInfoObjectFactory();

    // The reply for the command that was sent (not the answer's own command);
    // an empty object for commands without a reply of their own.
    QJsonObject responseToJson(const ofd::proto::Response& response, int command) const;
    ServiceResponse createServiceResponse(const ofd::proto::ServiceResponse& service) const;

    static ZXReport createZXReport(const ofd::proto::ZXReport& report);
    // A missing date or time part is left unset.
    static QDateTime toQDateTime(const ofd::proto::DateTime& dateTime);
    // bills + coins / 100; coins are not limited to 0..99.
    static double toDouble(const ofd::proto::Money& money);
};

} // namespace taxvault
