#pragma once

#include <QByteArray>
#include <QByteArrayView>

namespace taxvault {

// Appends the indented JSON text of a stored counters document, exactly as the
// JSON writer would print the document parsed from it, without parsing it into
// a document first: printing a full fiscal memory is mostly that. Only the
// form the service stores is taken this way (an object of numbers and of
// objects of numbers, keys in ascending order, each number as the writer
// prints it); for anything
// else nothing is appended and the result is false, and the caller parses.
// That form is plain ASCII, so the stored UTF-8 bytes are the text's bytes.
bool appendIndentedCounters(QByteArray& out, QByteArrayView stored);

} // namespace taxvault
