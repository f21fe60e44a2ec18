#include "datatypes/string.h"

#include <cstring>

#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/unicode.h"

namespace vum::string {

uint32_t make(int32_t room) { return memory::alloc_units(room < 1 ? 1 : room, 1); }

Cell make_cell(int32_t room) { return {type_string, 0, make(room), 0}; }

Cell from_utf8(const char* text) {
    uint32_t node = unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(text), int32_t(std::strlen(text)));
    return {type_string, 0, node, 0};
}

void append_char(uint32_t node, uint32_t cp) {
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t unit = b->unit();
    uint32_t need = cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4;
    if (need > unit) {
        b = unicode::widen_to(node, need);
        unit = b->unit();
    }
    uint8_t* at = series::alloc_tail_bytes(node, int32_t(unit));
    unicode::put_unit(at, unit, 0, cp);
}

void append_ascii(uint32_t node, const char* text) {
    int32_t n = int32_t(std::strlen(text));
    SeriesBuffer* b = nodes::buffer(node);
    if (b->unit() == 1) {
        std::memcpy(series::alloc_tail_bytes(node, n), text, size_t(n));
        return;
    }
    for (int32_t i = 0; i < n; i++) append_char(node, uint8_t(text[i]));
}

void append_utf8(uint32_t node, const char* text, int32_t length) {
    // The text may lie in a series that appending moves: decode from a copy.
    std::string copy(text, size_t(length));
    const auto* p = reinterpret_cast<const uint8_t*>(copy.data());
    const uint8_t* end = p + copy.size();
    while (p < end) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        append_char(node, cp < 0 ? 0xFFFD : uint32_t(cp));
    }
}

void append_string(uint32_t node, const Cell* s) {
    Cell source = *s;
    int32_t n = length(source.w2) - int32_t(source.w1);
    for (int32_t i = 0; i < n; i++) append_char(node, char_at(source.w2, int32_t(source.w1) + i));
}

int32_t length(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }

uint32_t char_at(uint32_t node, int32_t i) {
    SeriesBuffer* b = nodes::buffer(node);
    return unicode::get_unit(b->head_ptr(), b->unit(), uint32_t(i));
}

void cut(uint32_t node, int32_t characters) {
    SeriesBuffer* b = nodes::buffer(node);
    if (characters < 0) characters = 0;
    if (uint32_t(characters) < b->count()) b->tail = b->head + uint32_t(characters) * b->unit();
}

std::string node_to_utf8(uint32_t node) {
    std::string out;
    int32_t n = length(node);
    for (int32_t i = 0; i < n; i++) {
        char buf[4];
        out.append(buf, size_t(unicode::encode_utf8_char(char_at(node, i), buf)));
    }
    return out;
}

std::string to_utf8(const Cell* s) {
    std::string out;
    int32_t n = length(s->w2);
    for (int32_t i = int32_t(s->w1); i < n; i++) {
        char buf[4];
        out.append(buf, size_t(unicode::encode_utf8_char(char_at(s->w2, i), buf)));
    }
    return out;
}

}  // namespace vum::string
