#include "datatypes/base-codecs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/unicode.h"

namespace vum::binary {

namespace {

constexpr char base64_alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char base58_alphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char hex_digits[] = "0123456789ABCDEF";

// Classes of the base-58 and base-64 tables besides a digit's value.
constexpr uint8_t skip = 64;
constexpr uint8_t invalid = 128;

constexpr std::array<uint8_t, 128> digit_table(const char* alphabet, int n) {
    std::array<uint8_t, 128> table{};
    for (auto& v : table) v = invalid;
    for (uint8_t c : {uint8_t(8), uint8_t(9), uint8_t(10), uint8_t(12), uint8_t(13), uint8_t(' '), uint8_t('\'')})
        table[c] = skip;
    for (int i = 0; i < n; i++) table[uint8_t(alphabet[i])] = uint8_t(i);
    return table;
}

constexpr auto base64_table = digit_table(base64_alphabet, 64);
constexpr auto base58_table = digit_table(base58_alphabet, 58);

int32_t hex_value(uint32_t c) {
    if (c >= '0' && c <= '9') return int32_t(c - '0');
    if (c >= 'A' && c <= 'F') return int32_t(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return int32_t(c - 'a' + 10);
    return -1;
}

// Walks the code points of a text, leaving out ";" comments (up to and
// with their line feed; a comment that reaches the end ends the text).
class Reader {
public:
    Reader(const uint8_t* text, int32_t count, uint32_t unit) : text_(text), count_(count), unit_(unit) {}
    bool next(uint32_t* c) {
        while (i_ < count_) {
            uint32_t u = unicode::get_unit(text_, unit_, uint32_t(i_++));
            if (u != ';') {
                *c = u;
                return true;
            }
            while (i_ < count_ && unicode::get_unit(text_, unit_, uint32_t(i_)) != '\n') i_++;
            i_++;  // the line feed
        }
        return false;
    }

private:
    const uint8_t* text_;
    int32_t count_;
    uint32_t unit_;
    int32_t i_ = 0;
};

[[noreturn]] void invalid_arg(const Cell* value) { errors::raise(err::script::invalid_arg, value); }

int32_t base_of(const Cell* base) {
    if (!base) return 64;
    int32_t b = cell::get_integer(base);
    if (b != 2 && b != 16 && b != 58 && b != 64) invalid_arg(base);
    return b;
}

}  // namespace

int64_t encoded_size(int32_t base, int64_t n) {
    switch (base) {
        case 64: return 4 * (n / 3) + n % 3 + 2 * (n / 32) + 5;
        case 58: return 2 * n;
        case 16: return 2 * n + n / 32 + 32;
        case 2: return 8 * n + 2 * (n / 8) + 4;
        default: return -1;
    }
}

// ---- Encoders ----

char* encode_base2(char* d, const uint8_t* bytes, int32_t count) {
    for (int32_t i = 0; i < count; i++)
        for (int bit = 7; bit >= 0; bit--) *d++ = char('0' + (bytes[i] >> bit & 1));
    return d;
}

char* encode_base16(char* d, const uint8_t* bytes, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        *d++ = hex_digits[bytes[i] >> 4];
        *d++ = hex_digits[bytes[i] & 15];
    }
    return d;
}

char* encode_base64(char* d, const uint8_t* bytes, int32_t count) {
    int32_t i = 0;
    for (; i + 3 <= count; i += 3) {
        uint32_t group = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6) *d++ = base64_alphabet[group >> shift & 63];
    }
    int32_t rest = count - i;
    if (rest > 0) {
        uint32_t group = uint32_t(bytes[i]) << 16 | (rest == 2 ? uint32_t(bytes[i + 1]) << 8 : 0);
        *d++ = base64_alphabet[group >> 18 & 63];
        *d++ = base64_alphabet[group >> 12 & 63];
        *d++ = rest == 2 ? base64_alphabet[group >> 6 & 63] : '=';
        *d++ = '=';
    }
    return d;
}

// The bytes as one big-endian number, divided by 58 over and over; each
// leading zero byte stands as a "1" of its own.
char* encode_base58(char* d, const uint8_t* bytes, int32_t count) {
    std::vector<uint8_t> work(bytes, bytes + count);
    int32_t zeros = 0;
    while (zeros < count && work[size_t(zeros)] == 0) zeros++;
    // Digits go backwards from the end of the region: at most 2n of them.
    char* end = d + 2 * int64_t(count);
    char* p = end;
    int32_t start = zeros;
    while (start < count) {
        uint32_t remainder = 0;
        for (int32_t i = start; i < count; i++) {
            uint32_t v = remainder << 8 | work[size_t(i)];
            work[size_t(i)] = uint8_t(v / 58);
            remainder = v % 58;
        }
        *--p = base58_alphabet[remainder];
        while (start < count && work[size_t(start)] == 0) start++;
    }
    while (p < end && *p == '1') p++;
    for (int32_t i = 0; i < zeros; i++) *d++ = '1';
    int64_t digits = end - p;
    std::memmove(d, p, size_t(digits));
    return d + digits;
}

// ---- Decoders ----

// Bases whose digits carry whole bits (2 and 16): white space is passed
// over, and a byte left unfinished refuses the text, as dropping it would
// answer part of the data.
template <int Bits, class Digit>
bool decode_bits(const uint8_t* text, int32_t count, uint32_t unit, std::string& out, Digit digit) {
    std::string bytes;
    bytes.reserve(size_t(count) * Bits / 8);
    Reader r(text, count, unit);
    uint32_t c, acc = 0;
    int digits = 0;
    while (r.next(&c)) {
        if (c <= 32) continue;
        int32_t v = digit(c);
        if (v < 0) return false;
        acc = acc << Bits | uint32_t(v);
        if (++digits == 8 / Bits) {
            bytes += char(acc);
            acc = 0;
            digits = 0;
        }
    }
    if (digits) return false;
    out += bytes;
    return true;
}

bool decode_base2(const uint8_t* text, int32_t count, uint32_t unit, std::string& out) {
    auto bit = [](uint32_t c) { return c == '0' || c == '1' ? int32_t(c - '0') : -1; };
    return decode_bits<1>(text, count, unit, out, bit);
}

bool decode_base16(const uint8_t* text, int32_t count, uint32_t unit, std::string& out) {
    return decode_bits<4>(text, count, unit, out, hex_value);
}

bool decode_base58(const uint8_t* text, int32_t count, uint32_t unit, std::string& out) {
    std::vector<uint8_t> digits;
    Reader r(text, count, unit);
    uint32_t c;
    while (r.next(&c)) {
        if (c > 127) return false;
        uint8_t v = base58_table[c];
        if (v == skip) continue;
        if (v == invalid) return false;
        digits.push_back(v);
    }
    size_t zeros = 0;
    while (zeros < digits.size() && digits[zeros] == 0) zeros++;
    // The number in base 256, most significant byte first, grown by one
    // digit at a time: n = n * 58 + digit.
    std::vector<uint8_t> number;
    for (size_t i = zeros; i < digits.size(); i++) {
        uint32_t carry = digits[i];
        for (size_t j = number.size(); j-- > 0;) {
            carry += uint32_t(number[j]) * 58;
            number[j] = uint8_t(carry);
            carry >>= 8;
        }
        while (carry) {
            number.insert(number.begin(), uint8_t(carry));
            carry >>= 8;
        }
    }
    out.append(zeros, '\0');
    out.append(number.begin(), number.end());
    return true;
}

// "=" ends the data; after it only more "=", white space and comments may
// follow. A last group without its padding is decoded as if it had it;
// a group of one digit holds no whole byte and refuses the text.
bool decode_base64(const uint8_t* text, int32_t count, uint32_t unit, std::string& out) {
    std::string bytes;
    bytes.reserve(size_t(count) / 4 * 3 + 3);
    Reader r(text, count, unit);
    uint32_t c, acc = 0;
    int digits = 0;
    bool ended = false;
    auto finish_group = [&]() {
        if (digits == 3) {
            bytes += char(acc >> 10);
            bytes += char(acc >> 2);
        } else if (digits == 2) {
            bytes += char(acc >> 4);
        }
        return digits != 1;
    };
    while (r.next(&c)) {
        if (c > 127) return false;
        uint8_t v = base64_table[c];
        if (v == skip) continue;
        if (c == '=') {
            if (!ended) {
                if (digits < 2 || !finish_group()) return false;
                ended = true;
            }
            continue;
        }
        if (v == invalid || ended) return false;
        acc = acc << 6 | v;
        if (++digits == 4) {
            bytes += char(acc >> 16);
            bytes += char(acc >> 8);
            bytes += char(acc);
            acc = 0;
            digits = 0;
        }
    }
    if (!ended && !finish_group()) return false;
    out += bytes;
    return true;
}

// ---- Natives ----

void enbase(const Cell* value, const Cell* base_value, Cell* result) {
    gc::Local v(*value);
    int32_t base = base_of(base_value);
    // A string is encoded as its UTF-8; a binary is read in place once the
    // result's buffer exists (the allocation may move it).
    std::string utf8;
    bool text = cell::type(&v) != type_binary;
    if (text && !string::is_text_kind(cell::type(&v))) invalid_arg(&v);
    if (text) utf8 = string::to_utf8(&v);
    int64_t n = text ? int64_t(utf8.size()) : length_from_index(&v);
    int64_t size = encoded_size(base, n);
    if (size > cell::max_series_bytes) errors::raise(err::script::too_long);
    Cell out = string::make_cell(int32_t(size));
    const uint8_t* bytes =
        text ? reinterpret_cast<const uint8_t*>(utf8.data()) : static_cast<const uint8_t*>(position_pointer(&v));
    SeriesBuffer* b = nodes::buffer(out.w2);
    char* start = reinterpret_cast<char*>(b->head_ptr());
    char* end = start;
    switch (base) {
        case 2: end = encode_base2(start, bytes, int32_t(n)); break;
        case 16: end = encode_base16(start, bytes, int32_t(n)); break;
        case 58: end = encode_base58(start, bytes, int32_t(n)); break;
        default: end = encode_base64(start, bytes, int32_t(n)); break;
    }
    b->tail = b->head + uint32_t(end - start);
    *result = out;
}

void debase(const Cell* value, const Cell* base_value, Cell* result) {
    gc::Local v(*value);
    int32_t base = base_of(base_value);
    if (!string::is_text_kind(cell::type(&v))) invalid_arg(&v);
    SeriesBuffer* b = nodes::buffer(v.w2);
    uint32_t unit = string::unit_of(v.w2);
    int32_t length = int32_t(b->count());
    int32_t from = std::min<int32_t>(int32_t(v.w1), length);
    const uint8_t* text = b->head_ptr() + size_t(from) * unit;
    std::string bytes;
    bool ok = false;
    switch (base) {
        case 2: ok = decode_base2(text, length - from, unit, bytes); break;
        case 16: ok = decode_base16(text, length - from, unit, bytes); break;
        case 58: ok = decode_base58(text, length - from, unit, bytes); break;
        default: ok = decode_base64(text, length - from, unit, bytes); break;
    }
    if (!ok) {
        *result = {type_none, 0, 0, 0};
        return;
    }
    gc::Local out(make_cell(int32_t(bytes.size())));
    append_bytes_raw(out.w2, reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
    *result = out;
}

}  // namespace vum::binary
