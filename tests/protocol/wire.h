#pragma once

// Hand-made wire bytes: lets a test state exactly what the server sends,
// including values a generated setter would never produce.

#include <cstdint>
#include <string>

namespace wire {

inline std::string varint(uint64_t value)
{
    std::string out;
    while (value >= 0x80) {
        out.push_back(char((value & 0x7f) | 0x80));
        value >>= 7;
    }
    out.push_back(char(value));
    return out;
}

// Field `number` holding a varint.
inline std::string v(int number, uint64_t value)
{
    return varint(uint64_t(number) << 3) + varint(value);
}

// Field `number` holding a length-delimited body.
inline std::string ld(int number, const std::string& body)
{
    return varint((uint64_t(number) << 3) | 2) + varint(body.size()) + body;
}

inline std::string money(uint64_t bills, uint64_t coins)
{
    return v(1, bills) + v(2, coins);
}

inline std::string dateTime(uint64_t year, uint64_t month, uint64_t day, uint64_t hour, uint64_t minute,
                            uint64_t second)
{
    return ld(1, v(1, year) + v(2, month) + v(3, day)) + ld(2, v(1, hour) + v(2, minute) + v(3, second));
}

// An invalid date reports 0 for its numbers, an invalid time -1 as uint32.
inline std::string unsetDateTime()
{
    return dateTime(0, 0, 0, 0xffffffffu, 0xffffffffu, 0xffffffffu);
}

inline std::string toHex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out.push_back(' ');
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0xf]);
    }
    return out;
}

} // namespace wire
