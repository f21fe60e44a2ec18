#include "memory/unicode.h"

#include <cstring>

#include "base/system-throw.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"

namespace vum::unicode {

const uint8_t utf8_dfa_table[364] = {
    // Byte classes: 00-7F 0, 80-8F 1, 90-9F 9, A0-BF 7, C0-C1 8, C2-DF 2,
    // E0 10, E1-EC 3, ED 4, EE-EF 3, F0 11, F1-F3 6, F4 5, F5-FF 8.
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    8, 8, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    10, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 3, 3, 11, 6, 6, 6, 5, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8, 8,
    // Transitions, one row of 12 classes per state.
    0, 12, 24, 36, 60, 96, 84, 12, 12, 12, 48, 72,   // 0: start
    12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 12: rejected
    12, 0, 12, 12, 12, 12, 12, 0, 12, 0, 12, 12,     // 24: one more 80-BF
    12, 24, 12, 12, 12, 12, 12, 24, 12, 24, 12, 12,  // 36: two more
    12, 12, 12, 12, 12, 12, 12, 24, 12, 12, 12, 12,  // 48: after E0, A0-BF
    12, 24, 12, 12, 12, 12, 12, 12, 12, 24, 12, 12,  // 60: after ED, 80-9F
    12, 12, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 72: after F0, 90-BF
    12, 36, 12, 12, 12, 12, 12, 36, 12, 36, 12, 12,  // 84: after F1-F3
    12, 36, 12, 12, 12, 12, 12, 12, 12, 12, 12, 12,  // 96: after F4, 80-8F
};

namespace {

[[noreturn]] void bad_unit() { sys::terminate(101, sys::caller_address()); }

inline uint32_t checked_unit(const SeriesBuffer* b) {
    uint32_t unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) bad_unit();
    return unit;
}

// Reports the bytes at the position: four, or as many as there are (none
// before the memory manager runs).
[[noreturn]] void invalid_utf8(const uint8_t* p, int32_t available) {
    if (!memory::initialised()) errors::raise(err::access::invalid_utf8);
    uint8_t bytes[4];
    int32_t n = available < 4 ? available : 4;
    std::memcpy(bytes, p, size_t(n));
    gc::Local rest({type_binary, 0, memory::alloc_bytes(n), 0});
    SeriesBuffer* b = nodes::buffer(rest.w2);
    std::memcpy(b->head_ptr(), bytes, size_t(n));
    b->tail = b->head + uint32_t(n);
    errors::raise(err::access::invalid_utf8, &rest);
}
[[noreturn]] void invalid_char() { errors::raise(err::script::invalid_char); }

inline uint32_t unit_for(uint32_t code_point) { return code_point <= 0xFF ? 1 : code_point <= 0xFFFF ? 2 : 4; }

// Input bytes that may sit in a series buffer: found again through the node
// after anything that allocates.
class Source {
public:
    Source(const uint8_t* bytes, uint32_t node) : bytes_(bytes), node_(node), guard_(&node_) {
        if (node_) offset_ = bytes - nodes::buffer(node_)->data();
    }
    const uint8_t* get() const { return node_ ? nodes::buffer(node_)->data() + offset_ : bytes_; }

private:
    const uint8_t* bytes_;
    uint32_t node_;
    gc::ProtectNode guard_;
    ptrdiff_t offset_ = 0;
};

// Makes the buffer that receives `chars` code points of at least unit
// `needed`: a new one, or the target emptied, widened and grown as needed.
// Returns the node with an empty buffer (tail at head) of its final unit.
uint32_t prepare_buffer(uint32_t target, int64_t chars, uint32_t needed, bool keep_wider_unit) {
    int64_t units = chars + 1;
    if (units > 0x7FFFFFFF / 4) errors::raise(err::internal::no_memory);
    if (!target) return memory::alloc_series(int32_t(units), int32_t(needed), 0);
    gc::ProtectNode guard(&target);
    SeriesBuffer* b = nodes::buffer(target);
    uint32_t unit = checked_unit(b);
    if (keep_wider_unit && unit > needed) needed = unit;
    int64_t bytes = units * needed;
    // The old content is not kept: the text starts at the buffer's start,
    // which keeps every unit aligned.
    b->head = b->tail = 0;
    if (int64_t(b->size) < bytes) b = memory::expand(target, int32_t(bytes));
    b->flags = (b->flags & ~uint32_t(series_flags::unit_mask)) | needed;
    b->head = b->tail = 0;
    return target;
}

// ---- UTF-8 scanning ----

struct Utf8Scan {
    int32_t start;   // after a byte-order mark
    int32_t end;     // where a sequence cut short by the end begins
    int64_t chars;   // code points to store
    uint32_t max;    // the largest of them
};

// Validates and measures; raises before anything is allocated or changed.
Utf8Scan scan_utf8(const uint8_t* bytes, int32_t length, bool lines) {
    Utf8Scan s{0, 0, 0, 0};
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) s.start = 3;
    int32_t i = s.start;
    while (i < length) {
        uint8_t b = bytes[i];
        if (b < 0x80) {
            i++;
            if (!(lines && b == '\r' && i < length && bytes[i] == '\n')) s.chars++;
            if (b > s.max) s.max = b;
            continue;
        }
        int32_t n = length - i;
        int32_t code_point = decode_utf8_checked(bytes + i, &n);
        if (code_point < 0) break;
        if (uint32_t(code_point) > s.max) s.max = uint32_t(code_point);
        s.chars++;
        i += n;
    }
    s.end = i;
    return s;
}

// Stores well-formed UTF-8 (scan_utf8 checked it) as code points.
template <class T>
int64_t store_utf8(const uint8_t* p, const uint8_t* end, bool lines, T* out) {
    T* start = out;
    while (p < end) {
        uint8_t b = *p;
        if (b < 0x80) {
            p++;
            if (b == '\r' && lines) {
                if (p < end && *p == '\n') continue;
                b = '\n';
            }
            *out++ = T(b);
            continue;
        }
        int32_t code_point;
        p = decode_utf8_char(p, end, &code_point);
        *out++ = T(code_point);
    }
    return out - start;
}

// Buffers are 16-byte aligned and prepare_buffer puts the text at the
// start, so units of any width are aligned there.
template <class T>
T* unit_ptr(SeriesBuffer* b) {
    return reinterpret_cast<T*>(b->head_ptr());
}

}  // namespace

// ---- UTF-8 decoding ----

const uint8_t* decode_utf8_char(const uint8_t* p, const uint8_t* end, int32_t* code_point) {
    uint32_t byte = *p++;
    uint32_t type = utf8_dfa_table[byte];
    uint32_t cp = (0xFFu >> type) & byte;
    uint32_t state = utf8_dfa_table[256 + type];
    while (state != utf8_accept) {
        if (state == utf8_reject || p >= end) {
            *code_point = -1;
            return p;
        }
        byte = *p;
        type = utf8_dfa_table[byte];
        state = utf8_dfa_table[256 + state + type];
        // A byte that breaks the sequence is not part of it: it starts the
        // next character, so a caller that replaces each bad sequence by
        // one U+FFFD loses nothing that follows (the maximal subpart).
        if (state == utf8_reject) {
            *code_point = -1;
            return p;
        }
        cp = (byte & 0x3Fu) | (cp << 6);
        p++;
    }
    *code_point = int32_t(cp);
    return p;
}

int32_t count_utf8_chars(const uint8_t* from, const uint8_t* to) {
    int32_t n = 0;
    int32_t ignored;
    while (from < to) {
        if (*from < 0x80) {
            from++;
        } else {
            from = decode_utf8_char(from, to, &ignored);
        }
        n++;
    }
    return n;
}

const uint8_t* skip_utf8_chars(const uint8_t* from, const uint8_t* to, int32_t n) {
    int32_t ignored;
    while (n-- > 0 && from < to) from = *from < 0x80 ? from + 1 : decode_utf8_char(from, to, &ignored);
    return from;
}

int utf8_lead_length(uint8_t byte) {
    if (byte >= 0xF0) return 4;
    if (byte >= 0xE0) return 3;
    if (byte >= 0xC0) return 2;
    return 0;
}

int32_t decode_utf8_checked(const uint8_t* p, int32_t* count) {
    int32_t available = *count;
    if (available <= 0) return -1;
    uint32_t byte = p[0];
    if (byte < 0x80) {
        *count = 1;
        return int32_t(byte);
    }
    uint32_t type = utf8_dfa_table[byte];
    uint32_t cp = (0xFFu >> type) & byte;
    uint32_t state = utf8_dfa_table[256 + type];
    int32_t i = 1;
    while (state != utf8_accept) {
        if (state == utf8_reject) invalid_utf8(p, available);
        if (i >= available) return -1;  // valid so far: the rest may follow
        byte = p[i++];
        type = utf8_dfa_table[byte];
        cp = (byte & 0x3Fu) | (cp << 6);
        state = utf8_dfa_table[256 + state + type];
    }
    if (cp == 0xFFFE) invalid_utf8(p, available);
    *count = i;
    return int32_t(cp);
}

uint32_t load_utf8_buffer(const uint8_t* bytes, int32_t length, uint32_t target, int32_t* remainder, bool lines,
                          uint32_t source_node) {
    if (length < 0) length = 0;
    Source source(bytes, source_node);
    Utf8Scan s = scan_utf8(bytes, length, lines);
    uint32_t node = prepare_buffer(target, s.chars, unit_for(s.max), true);
    const uint8_t* p = source.get();
    SeriesBuffer* b = nodes::buffer(node);
    int64_t n;
    switch (b->unit()) {
        case 1: n = store_utf8(p + s.start, p + s.end, lines, unit_ptr<uint8_t>(b)); break;
        case 2: n = store_utf8(p + s.start, p + s.end, lines, unit_ptr<uint16_t>(b)); break;
        default: n = store_utf8(p + s.start, p + s.end, lines, unit_ptr<uint32_t>(b)); break;
    }
    b->tail = b->head + uint32_t(n) * b->unit();
    if (remainder) *remainder = length - s.end;
    return node;
}

uint32_t load_utf8_into_string(const uint8_t* bytes, int32_t length, const Cell* string, int32_t* remainder,
                               uint32_t source_node) {
    return load_utf8_buffer(bytes, length, string->w2, remainder, false, source_node);
}

uint32_t load_utf8_new(const uint8_t* bytes, int32_t length, uint32_t source_node) {
    return load_utf8_buffer(bytes, length, 0, nullptr, false, source_node);
}

// ---- UTF-8 encoding ----

int utf8_length(uint32_t code_point) {
    if (code_point < 0x80) return 1;
    if (code_point < 0x800) return 2;
    if (code_point < 0x10000) return 3;
    if (code_point <= 0x10FFFF) return 4;
    invalid_char();
}

int64_t utf8_size_of_range(const uint8_t* from, const uint8_t* to, uint32_t unit) {
    if (unit != 1 && unit != 2 && unit != 4) bad_unit();
    uint32_t n = uint32_t(to - from) / unit;
    int64_t bytes = 0;
    if (unit == 1) {
        for (uint32_t i = 0; i < n; i++) bytes += from[i] < 0x80 ? 1 : 2;
        return bytes;
    }
    for (uint32_t i = 0; i < n; i++) bytes += utf8_length(get_unit(from, unit, i));
    return bytes;
}

int encode_utf8_char_bounded(uint32_t code_point, char* out, int32_t room) {
    int length = utf8_length(code_point);
    if (room <= 0) return 0;
    char whole[4];
    encode_utf8_char(code_point, whole);
    int n = room < length ? int(room) : length;
    std::memcpy(out, whole, size_t(n));
    return n;
}

namespace {

struct Span {
    uint32_t unit;
    uint32_t first;  // element index of the cell's head
    uint32_t count;  // characters to convert
};

// The characters from the cell's head, at most `limit` of them (-1: all).
Span span_of(const Cell* string, int32_t limit) {
    const SeriesBuffer* b = nodes::buffer(string->w2);
    uint32_t unit = checked_unit(b);
    uint32_t total = b->count();
    uint32_t first = string->w1 < total ? string->w1 : total;
    uint32_t count = total - first;
    if (limit >= 0 && uint32_t(limit) < count) count = uint32_t(limit);
    return {unit, first, count};
}

const uint8_t* span_data(const Cell* string, const Span& s) {
    const SeriesBuffer* b = nodes::buffer(string->w2);
    return b->data() + b->head + s.first * s.unit;
}

// The cell's scratch byte buffer with room for `bytes`, made or grown here.
uint8_t* scratch(Cell* string, int64_t bytes) {
    if (bytes > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    uint32_t node = string->w3;
    if (!node) {
        node = memory::alloc_bytes(int32_t(bytes));
        string->w3 = node;
    } else if (int64_t(nodes::buffer(node)->size) < bytes) {
        gc::ProtectNode guard(&node);
        memory::expand(node, int32_t(bytes));
    }
    SeriesBuffer* b = nodes::buffer(node);
    b->head = b->tail = 0;
    return b->data();
}

void set_scratch_used(const Cell* string, uint32_t bytes) { nodes::buffer(string->w3)->tail = bytes; }

// Encodes count code points of the given unit; LF as CR LF with `lines`.
// Raises invalid-char before writing a code point above U+10FFFF.
int64_t encode_range(const uint8_t* data, uint32_t unit, uint32_t count, bool lines, char* out) {
    char* start = out;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t c = get_unit(data, unit, i);
        if (c < 0x80) {
            if (c == '\n' && lines) *out++ = '\r';
            *out++ = char(c);
            continue;
        }
        if (c > 0x10FFFF) invalid_char();
        out += encode_utf8_char(c, out);
    }
    return out - start;
}

}  // namespace

char* to_utf8_part_data(Cell* string, int32_t* length, bool lines) {
    uint32_t node = string->w2;
    gc::ProtectNode guard(&node);
    Span s = span_of(string, *length);
    int64_t room = s.unit == 4 ? 4 * (int64_t(s.count) + 1) : (s.unit + 1) * (int64_t(s.count) + 1);
    auto* out = reinterpret_cast<char*>(scratch(string, room));
    int64_t n = encode_range(span_data(string, s), s.unit, s.count, lines, out);
    out[n] = 0;
    set_scratch_used(string, uint32_t(n));
    *length = int32_t(n);
    return out;
}

char* to_utf8_data(Cell* string, int32_t* length) { return to_utf8_part_data(string, length, false); }

int32_t encode_utf8_into(const Cell* string, char* out, int32_t length, bool nul) {
    Span s = span_of(string, length);
    int64_t n = encode_range(span_data(string, s), s.unit, s.count, false, out);
    if (nul) out[n] = 0;
    return int32_t(n);
}

int32_t encode_utf8_bounded(const Cell* string, char* out, int32_t room, int32_t length, bool nul) {
    if (nul) room--;
    if (room < 0) return 0;
    Span s = span_of(string, length);
    const uint8_t* data = span_data(string, s);
    int32_t written = 0;
    for (uint32_t i = 0; i < s.count; i++) {
        uint32_t c = get_unit(data, s.unit, i);
        if (utf8_length(c) > room - written) break;  // a character is written whole or not at all
        written += encode_utf8_char_bounded(c, out + written, room - written);
    }
    if (nul) out[written] = 0;
    return written;
}

// ---- UTF-16 ----

uint32_t utf16_unit_needed(const uint8_t* units, int32_t count) {
    uint32_t unit = 1;
    for (int32_t i = 0; i < count; i++) {
        uint8_t high = units[2 * i + 1];
        if (high >= 0xD8 && high <= 0xDF) return 4;
        if (high) unit = 2;
    }
    return unit;
}

namespace {

template <class T>
int64_t store_utf16(const uint8_t* p, int32_t count, bool lines, T* out) {
    T* start = out;
    for (int32_t i = 0; i < count; i++) {
        uint32_t c = uint32_t(p[2 * i]) | uint32_t(p[2 * i + 1]) << 8;
        if (c == '\r' && lines) continue;
        if (sizeof(T) == 4 && c >= 0xD800 && c <= 0xDBFF && i + 1 < count) {
            uint32_t low = uint32_t(p[2 * i + 2]) | uint32_t(p[2 * i + 3]) << 8;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c & 0x3FF) << 10 | (low & 0x3FF));
                i++;
            }
        }
        *out++ = T(c);
    }
    return out - start;
}

}  // namespace

uint32_t load_utf16le(const uint8_t* bytes, int32_t count, uint32_t target, bool lines, uint32_t source_node) {
    if (count < 0) count = 0;
    Source source(bytes, source_node);
    uint32_t unit = utf16_unit_needed(bytes, count);
    uint32_t node = prepare_buffer(target, count, unit, false);
    const uint8_t* p = source.get();
    SeriesBuffer* b = nodes::buffer(node);
    int64_t n;
    switch (unit) {
        case 1: {
            uint8_t* out = unit_ptr<uint8_t>(b);
            n = 0;
            for (int32_t i = 0; i < count; i++)
                if (!(lines && p[2 * i] == '\r')) out[n++] = p[2 * i];
            break;
        }
        case 2:
            if (!lines) {
                std::memcpy(b->head_ptr(), p, size_t(count) * 2);
                n = count;
            } else {
                n = store_utf16(p, count, lines, unit_ptr<uint16_t>(b));
            }
            break;
        default: n = store_utf16(p, count, lines, unit_ptr<uint32_t>(b)); break;
    }
    b->tail = b->head + uint32_t(n) * unit;
    return node;
}

int encode_utf16_char(uint32_t code_point, uint16_t* out) {
    if (code_point < 0x10000) {
        out[0] = uint16_t(code_point);
        return 1;
    }
    if (code_point > 0x10FFFF) return 0;
    out[0] = uint16_t(((code_point - 0x10000) >> 10) | 0xD800);
    out[1] = uint16_t((code_point & 0x3FF) | 0xDC00);
    return 2;
}

uint16_t* to_utf16(Cell* string, int32_t* length, bool lines) {
    uint32_t node = string->w2;
    gc::ProtectNode guard(&node);
    Span s = span_of(string, *length);
    // Two bytes more for each LF and for each pair, whether or not the line
    // flag asks for the CR: one pass, and never too little room.
    int64_t extra = 0;
    const uint8_t* data = span_data(string, s);
    for (uint32_t i = 0; i < s.count; i++) {
        uint32_t c = get_unit(data, s.unit, i);
        if (c == '\n' || c > 0xFFFF) extra += 2;
        if (c > 0x10FFFF) invalid_char();
    }
    auto* out = reinterpret_cast<uint16_t*>(scratch(string, extra + int64_t(s.count) * 2 + 2));
    data = span_data(string, s);
    uint16_t* p = out;
    if (s.unit == 2 && !lines) {
        std::memcpy(p, data, size_t(s.count) * 2);
        p += s.count;
    } else {
        for (uint32_t i = 0; i < s.count; i++) {
            uint32_t c = get_unit(data, s.unit, i);
            if (c == '\n' && lines) *p++ = '\r';
            p += encode_utf16_char(c, p);
        }
    }
    *p = 0;
    set_scratch_used(string, uint32_t(p - out) * 2);
    *length = int32_t(p - out);
    return out;
}

uint16_t* to_utf16_whole(Cell* string) {
    int32_t length = -1;
    return to_utf16(string, &length, true);
}

void ascii_to_utf16(const char* text, uint8_t* out) {
    for (; *text; text++) {
        *out++ = uint8_t(*text);
        *out++ = 0;
    }
    out[0] = out[1] = 0;
}

namespace {
const uint16_t cp1251_high[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

inline uint32_t cp1251_char(uint8_t b) { return b < 0x80 ? b : cp1251_high[b - 0x80]; }

template <class T>
int64_t store_cp1251(const uint8_t* p, int32_t length, bool lines, T* out) {
    T* start = out;
    for (int32_t i = 0; i < length; i++) {
        uint32_t c = cp1251_char(p[i]);
        if (c == '\r' && lines) {
            if (i + 1 < length && p[i + 1] == '\n') continue;
            c = '\n';
        }
        *out++ = T(c);
    }
    return out - start;
}
}  // namespace

uint32_t load_cp1251(const uint8_t* bytes, int32_t length, uint32_t target, bool lines, uint32_t source_node) {
    if (length < 0) length = 0;
    Source source(bytes, source_node);
    uint32_t unit = 1;
    for (int32_t i = 0; i < length && unit == 1; i++) unit = unit_for(cp1251_char(bytes[i]));
    uint32_t node = prepare_buffer(target, length, unit, true);
    const uint8_t* p = source.get();
    SeriesBuffer* b = nodes::buffer(node);
    int64_t n;
    switch (b->unit()) {
        case 1: n = store_cp1251(p, length, lines, unit_ptr<uint8_t>(b)); break;
        case 2: n = store_cp1251(p, length, lines, unit_ptr<uint16_t>(b)); break;
        default: n = store_cp1251(p, length, lines, unit_ptr<uint32_t>(b)); break;
    }
    b->tail = b->head + uint32_t(n) * b->unit();
    return node;
}

// ---- Widening ----

namespace {

// Rewrites from the last element to the first so that no element is
// overwritten before it is read: element i moves from i x From to i x To.
template <class From, class To>
void widen_elements(uint8_t* data, uint32_t count) {
    for (uint32_t i = count; i-- > 0;) {
        From v;
        std::memcpy(&v, data + i * sizeof(From), sizeof v);
        To w = To(v);
        std::memcpy(data + i * sizeof(To), &w, sizeof w);
    }
}

// Widens to unit `to` (2 or 4) from whatever narrower unit the buffer has;
// a buffer already that wide is left as it is.
SeriesBuffer* widen(uint32_t node, uint32_t to) {
    gc::ProtectNode guard(&node);
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t from = checked_unit(b);
    if (from >= to) return b;
    uint32_t count = b->count();
    int64_t need = int64_t(count) * to + to;  // and room for one more unit
    if (need > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    // A head that is not a whole number of new units from the start moves
    // to the start of a new buffer, so the wider units stay aligned.
    if (int64_t(b->size) < int64_t(b->head) + need || b->head % to != 0)
        b = memory::expand_copy(node, int32_t(need));
    uint8_t* data = b->head_ptr();
    if (from == 1 && to == 2) widen_elements<uint8_t, uint16_t>(data, count);
    else if (from == 1) widen_elements<uint8_t, uint32_t>(data, count);
    else widen_elements<uint16_t, uint32_t>(data, count);
    b->tail = b->head + count * to;
    b->flags = (b->flags & ~uint32_t(series_flags::unit_mask)) | to;
    return b;
}

}  // namespace

SeriesBuffer* widen_1_to_2(uint32_t node) { return widen(node, 2); }
SeriesBuffer* widen_1_to_4(uint32_t node) { return widen(node, 4); }
SeriesBuffer* widen_2_to_4(uint32_t node) { return widen(node, 4); }

SeriesBuffer* widen_to(uint32_t node, uint32_t unit) {
    if (unit != 2 && unit != 4) {
        checked_unit(nodes::buffer(node));
        return nodes::buffer(node);
    }
    return widen(node, unit);
}

// ---- Display width ----

bool in_ranges(uint32_t code_point, const uint32_t* list, int32_t values) {
    if (values < 2 || code_point < list[0] || code_point > list[values - 1]) return false;
    // The last range whose first code point is at or below cp.
    int32_t low = 0, high = values / 2 - 1;
    while (low < high) {
        int32_t mid = (low + high + 1) / 2;
        if (list[2 * mid] <= code_point) low = mid;
        else high = mid - 1;
    }
    return code_point <= list[2 * low + 1];
}

int char_width(uint32_t code_point) {
    if (code_point == 0) return 0;
    if (code_point < 0x20 || (code_point >= 0x7F && code_point <= 0x9F)) return 1;
    if (in_ranges(code_point, zero_width_ranges, zero_width_ranges_values)) return 0;
    if (in_ranges(code_point, wide_ranges, wide_ranges_values)) return 2;
    return 1;
}

int display_width(uint32_t code_point) {
    if (in_ranges(code_point, ambiguous_ranges, ambiguous_ranges_values)) return 2;
    return char_width(code_point);
}

uint32_t map_char(uint32_t cp, int upper) { return case_map::map_char(cp, upper); }

}  // namespace vum::unicode

namespace vum::case_map {

// Static storage rather than heap blocks: releasing the heap at exit or
// between runs must not leave the mapping dangling.
uint32_t upper_table[65536];
uint32_t lower_table[65536];
bool tables_ready = false;

// The tables start zeroed and only the pair lists ever write them, always
// the same values, so filling them again needs no clearing: clearing would
// touch all 512 KiB at every start where the pairs touch a few pages.
void init_tables() {
    for (int32_t i = 0; i < upper_pairs_values; i += 2) upper_table[upper_pairs[i]] = upper_pairs[i + 1];
    for (int32_t i = 0; i < lower_pairs_values; i += 2) lower_table[lower_pairs[i]] = lower_pairs[i + 1];
    tables_ready = true;
}

uint32_t map_astral(uint32_t code_point, int upper) {
    const uint32_t* pairs = upper ? upper_pairs_astral : lower_pairs_astral;
    int32_t n = (upper ? upper_pairs_astral_values : lower_pairs_astral_values) / 2;
    int32_t low = 0, high = n - 1;
    while (low <= high) {
        int32_t mid = (low + high) / 2;
        uint32_t key = pairs[2 * mid];
        if (key == code_point) return pairs[2 * mid + 1];
        if (key < code_point) low = mid + 1;
        else high = mid - 1;
    }
    return code_point;
}

uint32_t swap_char(uint32_t code_point) {
    uint32_t up = map_char(code_point, 1);
    return up != code_point ? up : map_char(code_point, 0);
}

uint32_t upper_char(uint32_t code_point) { return map_char(code_point, 1); }

namespace {

bool is_string_kind(uint8_t type) {
    switch (type) {
        case type_string: case type_file: case type_url:
        case type_tag: case type_email: case type_ref:
            return true;
        default:
            return false;
    }
}

}  // namespace

Cell* convert_value(Cell* value, const Cell* part, int upper) {
    uint8_t type = cell::type(value);
    if (type == type_char) {
        value->w2 = map_char(value->w2, upper);
        return value;
    }
    if (!is_string_kind(type)) errors::raise(err::script::invalid_arg);
    uint32_t node = value->w2;
    gc::ProtectNode guard(&node);
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t unit = b->unit();
    if (unit != 1 && unit != 2 && unit != 4) sys::terminate(101, sys::caller_address());
    uint32_t total = b->count();
    if (value->w1 > total) value->w1 = total;
    uint32_t first = value->w1;
    int64_t count = total - first;
    if (part && cell::type(part) != type_none) {
        int64_t given;
        if (cell::type(part) == type_integer) {
            given = cell::get_integer(part);
        } else if (cell::type(part) == type && part->w2 == node) {
            given = int64_t(part->w1) - int64_t(first);
        } else {
            errors::raise(err::script::invalid_refine_arg);
        }
        if (given < 0) given = 0;
        if (given < count) count = given;  // never past the tail
    }
    // Widen once, before mapping, to what the mapped text needs.
    uint32_t needed = unit;
    for (int64_t i = 0; i < count && needed < 4; i++) {
        uint32_t c = map_char(unicode::get_unit(b->head_ptr(), unit, first + uint32_t(i)), upper);
        uint32_t u = c <= 0xFF ? 1 : c <= 0xFFFF ? 2 : 4;
        if (u > needed) needed = u;
    }
    if (needed > unit) {
        b = unicode::widen_to(node, needed);
        unit = needed;
    }
    uint8_t* data = b->head_ptr();
    for (int64_t i = 0; i < count; i++) {
        uint32_t at = first + uint32_t(i);
        uint32_t c = unicode::get_unit(data, unit, at);
        uint32_t m = map_char(c, upper);
        if (m != c) unicode::put_unit(data, unit, at, m);
    }
    ownership::check(value, ownership::action_word(upper ? ownership::action_uppercase : ownership::action_lowercase),
                     nullptr, int32_t(first), int32_t(count));
    return value;
}

}  // namespace vum::case_map
