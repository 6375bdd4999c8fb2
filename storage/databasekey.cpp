#include "storage/databasekey.h"

#include <cstring>

namespace taxvault {

namespace {

// Eight passphrase bytes and the terminator, each xor-ed with its own mask byte.
char scrambledBlock[9] = {'\xf5', '\x95', '\x19', '\x78', '\xee', '\x94', '\x6d', '\x60', '\x8f'};

unsigned char maskByte(int index)
{
    return static_cast<unsigned char>(0xA7 + index * 0x3D);
}

} // namespace

const char* DatabaseKey::passphrase()
{
    // The static's initialisation runs once, also when threads race for it.
    static const char* const block = [] {
        for (int i = 0; i < int(sizeof(scrambledBlock)); ++i)
            scrambledBlock[i] =
                static_cast<char>(static_cast<unsigned char>(scrambledBlock[i]) ^ maskByte(i));
        return static_cast<const char*>(scrambledBlock);
    }();
    return block;
}

int DatabaseKey::passphraseLength()
{
    return int(std::strlen(passphrase()));
}

QString DatabaseKey::keyStatement()
{
    return QStringLiteral("PRAGMA key='%1';").arg(QString::fromUtf8(passphrase()));
}

} // namespace taxvault
