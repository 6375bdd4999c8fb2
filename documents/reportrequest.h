#pragma once

#include "documents/kkminfoholder.h"
#include "documents/zxreport.h"

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QVariant>

namespace taxvault {

// An X or Z report request.
class ReportRequest : public KkmInfoHolder
{
    Q_GADGET
    Q_PROPERTY(QVariant kkmInfoObject READ kkmInfoObjectToVariant WRITE kkmInfoObjectFromVariant)
    Q_PROPERTY(int report MEMBER report)
    Q_PROPERTY(QString dateTime READ dateTimeToString WRITE dateTimeFromString)
    Q_PROPERTY(bool isOfflineFlag MEMBER isOfflineFlag)
    Q_PROPERTY(QVariant zxReport READ zxReportToVariant WRITE zxReportFromVariant)
    Q_PROPERTY(bool wasInit MEMBER wasInit)

public:
    static ReportRequest fromJson(const QJsonObject& json);

    bool operator==(const ReportRequest&) const = default;

    int report = 0;
    QDateTime dateTime;
    bool isOfflineFlag = false;
    ZXReport zxReport;
    bool wasInit = false;

private:
    QString dateTimeToString() const;
    void dateTimeFromString(const QString& value);
    QVariant zxReportToVariant() const;
    void zxReportFromVariant(const QVariant& value);
};

} // namespace taxvault
