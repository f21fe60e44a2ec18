// The systems layer's own output: diagnostics, start-up failures and
// debugging dumps, written to standard output as UTF-8. Escape sequences
// pass through unchanged; a terminal interprets them itself. Every write is
// also offered to the text hooks, through which the GUI console shows it.
// The language's print does not come here.
#pragma once
#include <cstdint>
#include <initializer_list>

namespace vum::print {

// One item of a typed print list.
struct Item {
    enum Type : int32_t { logic = 1, integer32 = 2, byte_char = 3, real32 = 4, real64 = 5, c_text = 6, hex_word = 7 };
    int32_t type;
    union {
        int32_t i;
        uint8_t b;
        float f;
        double d;
        const char* s;
        uint64_t u;
    };

    static Item boolean(bool v) { Item x{logic, {}}; x.i = v; return x; }
    static Item integer(int32_t v) { Item x{integer32, {}}; x.i = v; return x; }
    static Item character(uint8_t v) { Item x{byte_char, {}}; x.b = v; return x; }
    static Item float32(float v) { Item x{real32, {}}; x.f = v; return x; }
    static Item float64(double v) { Item x{real64, {}}; x.d = v; return x; }
    static Item text(const char* v) { Item x{c_text, {}}; x.s = v; return x; }
    static Item hex(uint64_t v) { Item x{hex_word, {}}; x.u = v; return x; }
};

void value(std::initializer_list<Item> items);
void value_line(std::initializer_list<Item> items);
void typed_values(const Item* items, int32_t count, bool newline);

void c_string(const char* text);
void byte(uint8_t b);
void bytes(const char* text, int32_t n);
void char_literal(uint32_t c);

void integer(int32_t n);
void hex_byte(uint8_t n);
void hex(uint32_t n);
void float64(double d);
void float32(float f);

}  // namespace vum::print

namespace vum::output {

void init();
void save_default_attribute();
bool is_console();

// Sends the output to another descriptor; tests use it to capture.
void set_descriptor(int fd);

// text holds `bytes` bytes of units of 1, 2 or 4 bytes, each one code point;
// it goes out as UTF-8. With newline, a line feed follows.
void write_text(const void* text, int32_t bytes, int unit, bool newline);
void write_text8(const char* text, int32_t bytes);
void write_line8(const char* text, int32_t bytes);
void write_text16(const uint16_t* text, int32_t bytes);
void write_line16(const uint16_t* text, int32_t bytes);
void write_text_ucs4(const uint32_t* text, int32_t bytes);
void write_line_ucs4(const uint32_t* text, int32_t bytes);
// Text that is already UTF-8 (the systems layer's own C strings).
void write_raw(const char* text, int32_t n);
void flush();

}  // namespace vum::output

namespace vum::output_helpers {

// Brings an angle in degrees into -180..180 and, by mode, folds it into
// -90..90 (mode 0 by a half turn, mode 2 by the supplement) before it is
// converted to radians for the trigonometric natives.
double degrees_to_radians(double x, int mode);

bool cstring_equal(const char* a, const char* b);

}  // namespace vum::output_helpers
