#pragma once

#include <QString>

#include <map>
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

} // namespace taxvault
