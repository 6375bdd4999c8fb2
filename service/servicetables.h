#pragma once

#include <QJsonObject>
#include <QString>

#include <map>

namespace ofd::proto {
class Response;
}
#include <string>

namespace taxvault {

// Texts of the operator's result codes, shown as errorMessage of the status block.
extern const std::map<int, const char*> resultCodeMessages;
// Log names of the service states.
extern const std::map<int, const char*> serviceModeNames;
// Numbers of the taxation types by their protocol names.
extern const std::map<std::string, int> taxationTypeNames;

// The text of a result code; empty for a code without one (0 among them).
QString resultCodeMessage(int code);
// The log name of a service state; "неизвестный режим" for any other value.
QString serviceModeName(int status);
// The number of a taxation type name (exact, case-sensitive); 100 when unknown.
int taxationTypeNumber(const QString& name);

// Why the service leaves normal mode, as its warning line gives it: the
// journal's warnings alone must tell why a till stopped taking documents.
QString statusChangeWarning(int status, const QString& cause);
// An answer of the operator's server as a cause: its code and the code's text.
QString resultCodeCause(int code);
// An offline mode reason (1 no connection, 2 invalid token) as a cause.
QString offlineReasonCause(int reason);
// A document the operator's server accepted with `answer`, as the engineer
// settles it with the operator: its printed number and shift, and the
// operator's receipt number.
QString acceptedDocumentText(const QJsonObject& document, const ofd::proto::Response& answer);

} // namespace taxvault
