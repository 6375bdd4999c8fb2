#pragma once

#include <QString>

namespace taxvault {

// Turns every \uXXXX escape of a stored text into its UTF-16 code unit. The
// leftmost escape is always decoded first, and a decoded character takes part
// in the next match (so "\u005cu0041" gives "A"); four characters that are no
// hexadecimal number give U+0000, and an escape cut short by the end of the
// text takes what is left. One pass: each character is looked at a bounded
// number of times.
QString decodeUnicodeEscapes(const QString& text);

} // namespace taxvault
