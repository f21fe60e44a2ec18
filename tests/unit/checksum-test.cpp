// CRC-32 and Adler-32 against values from an independent implementation,
// over lengths around the sixteen-byte steps of the CRC and past the runs
// after which Adler-32 reduces its sums.
#include <gtest/gtest.h>

#include <vector>

#include "io/checksum.h"

using namespace vum;

namespace {

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) v[i] = uint8_t((i * 37 + 11) & 0xFF);
    return v;
}

TEST(Checksums, MatchKnownValuesOverLengths) {
    struct Case {
        size_t length;
        uint32_t crc;
        uint32_t adler;
    };
    const Case cases[] = {{0, 0x0, 0x1},
                          {1, 0x45d03605, 0xc000c},
                          {7, 0xef6f3b31, 0x9530357},
                          {8, 0x648bad8b, 0xcb80365},
                          {9, 0x17dc5f9e, 0x10500398},
                          {15, 0x53605ee3, 0x312706d3},
                          {16, 0x24e8a988, 0x38300709},
                          {17, 0xcdfc844a, 0x3f940764},
                          {33, 0xfe728587, 0xff1c0fbc},
                          {1000, 0xc3905a1d, 0x604cf264}};
    const std::vector<uint8_t> data = pattern(1000);
    for (const Case& c : cases) {
        EXPECT_EQ(checksum::crc32(data.data(), c.length), c.crc) << c.length;
        EXPECT_EQ(checksum::adler32(data.data(), c.length), c.adler) << c.length;
    }
}

TEST(Checksums, AdlerSumsStayExactOnTheLargestBytes) {
    const std::vector<uint8_t> data(10000, 0xFF);
    EXPECT_EQ(checksum::adler32(data.data(), data.size()), 0xb623eb2bu);
    EXPECT_EQ(checksum::crc32(data.data(), data.size()), 0x133c790du);
}

TEST(Checksums, CrcContinuesFromAPreviousResult) {
    const std::vector<uint8_t> data = pattern(1000);
    for (size_t split : {0, 1, 5, 8, 13, 999, 1000})
        EXPECT_EQ(checksum::crc32(data.data() + split, 1000 - split, checksum::crc32(data.data(), split)),
                  0xc3905a1du)
            << split;
}

}  // namespace
