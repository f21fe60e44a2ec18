#include <gtest/gtest.h>

#include <vector>

#include "datatype-fixture.h"
#include "datatypes/bitset.h"
#include "memory/collector.h"

using namespace vum;

namespace {

class BitsetTest : public DatatypeTest {};

// A bitset of `bytes` bytes whose membership follows `model` (bit n set when
// model[n]); bits past the model follow the complemented flag.
uint32_t make_from_model(const std::vector<bool>& model, int32_t bytes, bool complemented) {
    uint32_t node = bitset::make_bytes(bytes, 0);
    for (size_t n = 0; n < model.size() && n < size_t(bytes) * 8; n++)
        if (model[n]) bitset::bits_pointer(node)[n >> 3] |= uint8_t(0x80 >> (n & 7));
    bitset::set_complemented(node, complemented);
    return node;
}

// Every range within and across byte edges, and past the stored bytes,
// against a plain bool-per-bit model: setting, clearing and testing a range
// touch exactly its bits and grow the bytes only when membership changes.
TEST_F(BitsetTest, RangesMatchABitModel) {
    constexpr int32_t stored = 3;  // 24 bits; ranges run to bit 40
    constexpr uint32_t last = 40;
    for (bool complemented : {false, true}) {
        // A pattern that is neither all set nor all clear in any byte.
        std::vector<bool> pattern(last + 1);
        for (uint32_t n = 0; n <= last; n++) pattern[n] = n >= uint32_t(stored) * 8 ? complemented : (n * 5) % 3 == 1;
        for (uint32_t from = 0; from <= last; from++) {
            for (uint32_t to = from; to <= last; to++) {
                uint32_t node = make_from_model(pattern, stored, complemented);
                gc::ProtectNode keep(&node);

                bool expected_all = true;
                for (uint32_t n = from; n <= to; n++) expected_all = expected_all && pattern[n];
                EXPECT_EQ(bitset::process_range(node, from, to, bitset::spec_test), expected_all)
                    << complemented << " " << from << "-" << to;

                for (int32_t op : {bitset::spec_set, bitset::spec_clear}) {
                    uint32_t changed = make_from_model(pattern, stored, complemented);
                    gc::ProtectNode keep_changed(&changed);
                    bitset::process_range(changed, from, to, op);
                    bool on = op == bitset::spec_set;
                    // Room is made only where the membership must change.
                    int32_t bytes = on != complemented ? std::max<int32_t>(stored, int32_t(to >> 3) + 1) : stored;
                    EXPECT_EQ(bitset::byte_count(changed), bytes) << op << " " << from << "-" << to;
                    for (uint32_t n = 0; n <= last + 8; n++) {
                        bool want = n >= from && n <= to ? on : n <= last ? pattern[n] : complemented;
                        ASSERT_EQ(bitset::test_bit(changed, n), want)
                            << complemented << " op " << op << " " << from << "-" << to << " bit " << n;
                    }
                }
            }
        }
    }
}

}  // namespace
