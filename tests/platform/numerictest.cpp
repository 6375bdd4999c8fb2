#include "utility/numeric.h"

#include <gtest/gtest.h>

namespace {

struct LeCase
{
    unsigned long long value;
    unsigned long bytes;
    QByteArray encoded;
};

void PrintTo(const LeCase& c, std::ostream* os)
{
    *os << std::hex << c.value << " in " << std::dec << c.bytes << " bytes";
}

class NumericLeTest : public ::testing::TestWithParam<LeCase>
{
};

TEST_P(NumericLeTest, EncodesLeastSignificantBytesFirst)
{
    const LeCase& c = GetParam();
    EXPECT_EQ(numeric::longToLe(c.value, c.bytes), c.encoded);
}

TEST_P(NumericLeTest, DecodesWhatWasEncoded)
{
    const LeCase& c = GetParam();
    const unsigned long long kept = c.bytes >= 8 ? c.value : c.value & ((1ULL << (8 * c.bytes)) - 1);
    EXPECT_EQ(numeric::leToLong(c.encoded), kept);
}

INSTANTIATE_TEST_SUITE_P(Frame, NumericLeTest,
                         ::testing::Values(LeCase{0x01020304ULL, 4, QByteArray("\x04\x03\x02\x01", 4)},
                                           LeCase{0x1234ULL, 2, QByteArray("\x34\x12", 2)},
                                           // Bytes with the high bit set must not be sign-extended.
                                           LeCase{0xFFFFFFFFULL, 4, QByteArray("\xFF\xFF\xFF\xFF", 4)},
                                           LeCase{0x80ULL, 2, QByteArray("\x80\x00", 2)},
                                           // Only the requested bytes are kept.
                                           LeCase{0x1FFFF0102ULL, 2, QByteArray("\x02\x01", 2)},
                                           LeCase{0ULL, 4, QByteArray(4, '\0')},
                                           LeCase{0x0102030405060708ULL, 8,
                                                  QByteArray("\x08\x07\x06\x05\x04\x03\x02\x01", 8)}));

TEST(NumericCrc32, IsTheStandardCrc32)
{
    const QByteArray check("123456789");
    EXPECT_EQ(numeric::calcCrc32(reinterpret_cast<const unsigned char*>(check.constData()), 9),
              3421780262ULL);
    EXPECT_EQ(numeric::calcCrc32(reinterpret_cast<const unsigned char*>(""), 0), 0ULL);
}

} // namespace
