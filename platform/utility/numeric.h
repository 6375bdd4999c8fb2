#pragma once

#include <QByteArray>
#include <QString>

namespace numeric {

// The `bytes` least significant bytes of value, least significant first.
QByteArray longToLe(unsigned long long value, unsigned long bytes);
// The unsigned value of bytes read as a little-endian number.
unsigned long long leToLong(const QByteArray& bytes);
// Hex bytes separated by spaces, for trace lines.
QString byteArrayToString(const QByteArray& bytes);
// Standard IEEE CRC-32 (zlib's).
unsigned long long calcCrc32(const unsigned char* data, unsigned long size);

} // namespace numeric
