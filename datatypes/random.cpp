#include "datatypes/random.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <climits>

#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/raise-error.h"

namespace vum::random {

namespace {

constexpr int32_t state_words = 624;
constexpr int32_t shift_distance = 397;
constexpr uint32_t matrix = 0x9908B0DFu;
constexpr uint32_t upper_bit = 0x80000000u;
constexpr uint32_t lower_bits = 0x7FFFFFFFu;

// The words are kept unsigned so that the multiplications wrap without
// undefined behaviour; every right shift goes through here and copies the
// sign bit, as shifts of signed words do. That is what keeps bit 31 of
// every output clear.
constexpr uint32_t shift_right(uint32_t x, int k) { return uint32_t(int32_t(x) >> k); }

struct State {
    std::array<uint32_t, state_words> mt;
    int32_t index;  // the next word to read; state_words: regenerate first
};

constexpr State seeded(uint32_t seed) {
    State s{};
    s.mt[0] = seed;
    for (int32_t i = 1; i < state_words; i++) {
        uint32_t previous = s.mt[size_t(i - 1)];
        s.mt[size_t(i)] = 1812433253u * (previous ^ shift_right(previous, 30)) + uint32_t(i);
    }
    // Reading starts at once: the first outputs are the seeded words.
    s.index = 0;
    return s;
}

// Seeded at compile time, so that anything drawing before init (module
// tests, early start-up) sees the start-up sequence.
constinit State state = seeded(start_seed);

uint32_t twist(uint32_t word, uint32_t next_word, uint32_t far_word) {
    uint32_t y = (word & upper_bit) | (next_word & lower_bits);
    return far_word ^ shift_right(y, 1) ^ ((y & 1) ? matrix : 0u);
}

void regenerate() {
    auto& mt = state.mt;
    for (int32_t i = 0; i < state_words - 1; i++)
        mt[size_t(i)] = twist(mt[size_t(i)], mt[size_t(i + 1)], mt[size_t((i + shift_distance) % state_words)]);
    constexpr size_t last = state_words - 1;
    mt[last] = twist(mt[last], mt[0], mt[shift_distance - 1]);
    state.index = 0;
}

uint32_t temper(uint32_t y) {
    y ^= shift_right(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ shift_right(y, 18);
}

[[noreturn]] void raise_source_failed() {
    gc::Local what(string::from_utf8("secure random source"));
    errors::raise(err::access::cannot_open, &what);
}

}  // namespace

void init() { mt_seed(start_seed); }

void mt_seed(uint32_t seed) { state = seeded(seed); }

int32_t mt_next() {
    if (state.index >= state_words) regenerate();
    uint32_t y = state.mt[size_t(state.index++)];
    // Bit 31 is clear after tempering; the mask only makes that visible.
    return int32_t(temper(y) & lower_bits);
}

int32_t secure_integer() {
    uint8_t bytes[4] = {0, 0, 0, 0};
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A fixed or partial draw would pass silently for a secure one.
            raise_source_failed();
        }
        got += size_t(n);
    }
    uint32_t word = uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
    return int32_t(word & lower_bits);
}

int32_t next(bool secure) { return secure ? secure_integer() : mt_next(); }

int32_t integer_in_range(bool secure, int32_t n) {
    if (n == 0) return 0;
    // -2^31 has no positive counterpart; the whole negative range is one
    // draw away.
    if (n == INT_MIN) return -1 - next(secure);
    int32_t m = n < 0 ? -n : n;
    // Draws at or above the last whole multiple of m would favour the low
    // residues; drawing again keeps every result equally likely.
    int32_t limit = (INT_MAX / m) * m;
    int32_t r;
    do r = next(secure);
    while (r >= limit);
    int32_t k = r % m + 1;
    return n < 0 ? -k : k;
}

}  // namespace vum::random
