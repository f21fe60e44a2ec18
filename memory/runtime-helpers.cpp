#include "memory/runtime-helpers.h"

#include <cstring>

#include "memory/raise-error.h"

namespace vum::integer {

int32_t from_number(const Cell* c) {
    if (cell::type(c) != type_float) return cell::get_integer(c);
    double d = cell::get_double(c);
    // The range test comes first: converting an out-of-range double is
    // undefined, and NaN fails every comparison. A fraction past either end
    // (2147483647.5) is outside too, though it would truncate into range.
    if (!(d >= -2147483648.0 && d <= 2147483647.0)) errors::raise(err::script::out_of_range, c);
    return int32_t(d);
}

}  // namespace vum::integer

namespace vum::memory {

uint8_t* repeat_pattern(uint8_t* buffer, int32_t n, int32_t count) {
    if (n <= 0 || count <= 0) return buffer;
    int64_t total = int64_t(n) * count;
    int64_t filled = n;
    while (filled < total) {
        int64_t chunk = filled < total - filled ? filled : total - filled;
        std::memcpy(buffer + filled, buffer, size_t(chunk));
        filled += chunk;
    }
    return buffer + total;
}

}  // namespace vum::memory
