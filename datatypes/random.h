// The process-wide random generator behind every `random` action: a
// Mersenne Twister kept in signed 32-bit words (so its right shifts copy
// the sign bit), and a secure source from the operating system for the
// /secure refinement.
//
// Every draw, from either source, is a non-negative 31-bit number,
// 0 ... 2147483647. Callers may rely on that: a draw is never negative, so
// comparing it with 2^30 - 1 is a fair coin and dividing it by
// 2147483647.0 gives a fraction in [0, 1].
#pragma once
#include <cstdint>

namespace vum::random {

// The seed the generator starts from at start-up.
constexpr uint32_t start_seed = 19650218;

// Start-up: seeds the generator with start_seed. The generator already
// holds that state before init runs, so early callers are served too.
void init();

// Reseeds: the next 624 outputs are the seeded words themselves, tempered;
// seeding twice with one seed repeats the sequence.
void mt_seed(uint32_t seed);

// The next output of the twister, 0 ... 2147483647.
int32_t mt_next();

// Four bytes of the operating system's secure source, read little-endian,
// bit 31 cleared. Raises an access error when the source fails.
int32_t secure_integer();

// One draw from the secure source or the twister.
int32_t next(bool secure);

// A uniform random integer: 1 ... n for n > 0, n ... -1 for n < 0 (the
// negated draw for -n), 0 for 0 without drawing.
int32_t integer_in_range(bool secure, int32_t n);

}  // namespace vum::random
