// The deflate format's fixed tables, shared by the encoder and the decoder:
// the base value and extra-bit count of each length and distance symbol.
#pragma once
#include <cstdint>

namespace vum::compression::format {

constexpr unsigned length_symbols = 29;  // 257 to 285
constexpr unsigned distance_symbols = 30;
constexpr unsigned max_length = 258;
constexpr unsigned window_size = 32768;

constexpr uint16_t length_base[length_symbols] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t length_extra[length_symbols] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};

constexpr uint16_t distance_base[distance_symbols] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,
                                                      33,   49,   65,   97,   129,  193,   257,   385,   513,   769,
                                                      1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t distance_extra[distance_symbols] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                      6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The fixed Huffman code's length for each of the 288 literal/length
// symbols; every fixed distance code is five bits long.
constexpr unsigned fixed_litlen_length(unsigned symbol) {
    return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}
constexpr unsigned fixed_distance_bits = 5;

// The order in which a dynamic block gives the code-length code's lengths.
constexpr uint8_t code_length_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

}  // namespace vum::compression::format
