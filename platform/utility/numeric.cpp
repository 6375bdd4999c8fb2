#include "utility/numeric.h"

#include <zlib.h>

namespace numeric {

QByteArray longToLe(unsigned long long value, unsigned long bytes)
{
    QByteArray result(static_cast<qsizetype>(bytes), '\0');
    for (unsigned long i = 0; i < bytes; ++i) {
        result[static_cast<qsizetype>(i)] = static_cast<char>(i < sizeof(value) ? (value >> (8 * i)) & 0xFF : 0);
    }
    return result;
}

unsigned long long leToLong(const QByteArray& bytes)
{
    unsigned long long value = 0;
    const qsizetype count = qMin<qsizetype>(bytes.size(), sizeof(value));
    for (qsizetype i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes.at(i));
    return value;
}

QString byteArrayToString(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

unsigned long long calcCrc32(const unsigned char* data, unsigned long size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes a 32-bit length; feed larger buffers in pieces.
    while (size > 0) {
        const uInt chunk = size > 0x40000000UL ? 0x40000000U : static_cast<uInt>(size);
        crc = crc32(crc, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return crc;
}

} // namespace numeric
