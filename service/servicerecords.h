#pragma once

#include "documents/documentmapping.h"
#include "documents/servicerequest.h"
#include "documents/serviceresponse.h"

#include <QDateTime>
#include <QJsonObject>
#include <QRecursiveMutex>
#include <QString>

#include <optional>

namespace Log4Qt {
class Logger;
}

namespace taxvault {

// The stored service records a Sender reads and writes around each exchange:
// "servicerequest" with its offline period, "serviceresponse", "transportdata",
// the time of the last request and the offline mode reason. Each Sender has
// its own; the lock below is shared by all of them.
class ServiceRecords
{
public:
    ServiceRecords();

    // Held across every read, change and store of the stored "servicerequest",
    // on every thread, so that no thread overwrites another's offline period.
    // Recursive, so that a holder may update the service information. Never
    // taken while the exchange lock is held.
    static QRecursiveMutex& serviceRequestMutex();

    // The token and package number of the configuration, to and from the database.
    void restoreTransportData();
    void saveTransportData();

    // The stored "servicerequest" ({} when missing or unreadable).
    QJsonObject storedServiceRequest();
    // The document of a service request's JSON.
    ServiceRequest serviceRequestDocument(const QJsonObject& json);
    // The answer's service part as "serviceresponse".
    bool saveServiceResponse(const ServiceResponse& response);
    // The request with what the answer and the configuration bring, stored.
    bool saveUpdatedServiceRequest(ServiceRequest request, const ServiceResponse& response);

    // Opens in the request an offline period that begins at `now` and stores
    // it; with keepOpenPeriod a period already open stays as it is. True when
    // a period was opened.
    bool openOfflinePeriod(ServiceRequest& request, bool keepOpenPeriod, const QDateTime& now);
    // Stores the request with its offline period closed.
    void closeOfflinePeriod(ServiceRequest request);
    // The lock date of the stored offline period (null when none is open);
    // nothing when the stored record cannot be read.
    std::optional<QDateTime> storedLockDate();

    // True when `now` lies before the last request's time; otherwise `now`
    // becomes that time.
    bool isRequestTimeInvalid(const QDateTime& now);

    int offlineModeReason();
    void setOfflineModeReason(int reason);

private:
    // The service request last read and its document: it is read twice per
    // command and mostly holds what it held the command before.
    Memo<QJsonObject, ServiceRequest> m_lastServiceRequest;
    // The stored service records' JSON, made anew only when they change.
    LastJson<ServiceRequest> m_serviceRequestJson;
    LastJson<ServiceResponse> m_serviceResponseJson;
    Log4Qt::Logger* m_logger;
};

} // namespace taxvault
