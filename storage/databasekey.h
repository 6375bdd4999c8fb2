#pragma once

#include <QString>

namespace taxvault {

// The passphrase of the database file. It is kept scrambled in the binary and
// unscrambled once per process; the schema set-up keys its connection with it
// and Dao sends it in its key statement, so both always agree. Never log
// either of them.
class DatabaseKey
{
public:
    // Zero-terminated, at most 8 bytes.
    static const char* passphrase();
    // Bytes before the terminator.
    static int passphraseLength();
    // "PRAGMA key='<passphrase>';"
    static QString keyStatement();
};

} // namespace taxvault
