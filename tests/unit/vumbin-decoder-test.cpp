// The serialised-value decoder over hand-built files: every record kind in
// both forms, shared series and back-references, word bindings in saved and
// boot mode, and a table of malformed inputs, each refused at its byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/console-output.h"
#include "datatypes/binary.h"
#include "datatypes/calendar.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "engine/natives.h"
#include "evaluator-fixture.h"
#include "io/lz-codec.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-format.h"
#include "memory/cell-access.h"
#include "memory/hash-table.h"

using namespace vum;

namespace {

// Bytes of a file, written the way the format lays them out.
struct Bytes {
    std::vector<uint8_t> v;
    Bytes& u8(std::initializer_list<int> bytes) {
        for (int b : bytes) v.push_back(uint8_t(b));
        return *this;
    }
    Bytes& uv(uint32_t n) {
        while (n >= 0x80) {
            v.push_back(uint8_t(n | 0x80));
            n >>= 7;
        }
        v.push_back(uint8_t(n));
        return *this;
    }
    Bytes& sv(int32_t n) { return uv(vumbin::zigzag(n)); }
    Bytes& u32(uint32_t n) {
        for (int i = 0; i < 4; i++) v.push_back(uint8_t(n >> (8 * i)));
        return *this;
    }
    Bytes& f64(double d) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        return u32(uint32_t(bits)).u32(uint32_t(bits >> 32));
    }
    Bytes& f32(float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return u32(bits);
    }
    Bytes& text(const std::string& s) {
        v.insert(v.end(), s.begin(), s.end());
        return *this;
    }
    Bytes& add(const Bytes& b) {
        v.insert(v.end(), b.v.begin(), b.v.end());
        return *this;
    }
    size_t size() const { return v.size(); }
};

Bytes file_header(uint8_t flags) {
    Bytes b;
    b.text("VUMBIN").u8({2, flags});
    return b;
}

// A compact file: header, counts, the symbol table when there are symbols.
std::vector<uint8_t> compact_file(const Bytes& records, const std::vector<std::string>& symbols = {}) {
    Bytes b = file_header(uint8_t(vumbin::flag_compact | (symbols.empty() ? 0 : vumbin::flag_symbols)));
    b.uv(1).uv(uint32_t(records.size()));
    if (!symbols.empty()) {
        Bytes names, offsets;
        for (const std::string& s : symbols) {
            offsets.u32(uint32_t(names.size()));
            names.text(s).u8({0});
        }
        b.uv(uint32_t(symbols.size())).uv(uint32_t(names.size())).add(offsets).add(names);
    }
    return b.add(records).v;
}

std::vector<uint8_t> fixed_file(const Bytes& records, const std::vector<std::string>& symbols = {}) {
    Bytes b = file_header(symbols.empty() ? 0 : vumbin::flag_symbols);
    b.u32(1).u32(uint32_t(records.size()));
    if (!symbols.empty()) {
        Bytes names, offsets;
        for (const std::string& s : symbols) {
            offsets.u32(uint32_t(names.size()));
            names.text(s).u8({0});
        }
        b.u32(uint32_t(symbols.size())).u32(uint32_t(names.size())).add(offsets).add(names);
    }
    return b.add(records).v;
}

std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    for (const char* p = text; p[0] && p[1]; p += 2) out.push_back(uint8_t(std::stoi(std::string(p, 2), nullptr, 16)));
    return out;
}

}  // namespace

class VumbinDecoderTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        vumbin::set_mode(vumbin::Mode::saved);
    }

    // The file decoded into a new block on the value stack.
    Cell* decode(const std::vector<uint8_t>& file) {
        Cell* block = B({});
        vumbin::decode(file.data(), int64_t(file.size()), block, true, nullptr);
        return block;
    }

    // mold/all of each decoded value, one line each.
    std::string decoded(const std::vector<uint8_t>& file) {
        stack::Mark mark;
        Cell* block = decode(file);
        std::string out;
        for (int32_t i = 0; i < series::length_from_head(block); i++) {
            if (i) out += "\n";
            gc::Local value(series::cells_head(block->w2)[i]);
            out += actions::mold_text(&value, true);
        }
        return out;
    }

    // The error a decode raised: its id and its first argument, molded (the
    // byte position for vb-invalid-record).
    struct Refusal {
        std::string id;
        std::string argument;
    };
    Refusal refusal(const std::vector<uint8_t>& file) {
        Cell e = caught([&] {
            stack::Mark mark;
            decode(file);
        });
        if (cell::type(&e) != type_error) return {"", ""};
        return {error_id(e), actions::mold_text(error::field(&e, error::field_arg1))};
    }
};

uint32_t date_word(int year, int month, int day, bool time) { return calendar::pack(year, month, day, 0, time); }

struct ValueCase {
    Bytes records;
    std::vector<std::string> symbols;
    const char* molded;  // mold/all of each decoded value, a line each
};

TEST_F(VumbinDecoderTest, HandBuiltFilesDecode) {
    EXPECT_EQ(decoded(hex("56554D42494E0201010185")), "5");
    EXPECT_EQ(decoded(hex("56554D42494E02050102010400000000616263000F00")), "abc");
    EXPECT_EQ(decoded(hex("56554D42494E020001000000080000000B00000005000000")), "5");
    // The version byte is not looked at; the flags' unknown bits are ignored.
    EXPECT_EQ(decoded(hex("56554D42494E77F9010185")), "5");
}

TEST_F(VumbinDecoderTest, CompactRecordsDecodeToTheirValues) {
    const std::vector<std::string> ab = {"a", "b"};
    const ValueCase cases[] = {
        {Bytes().u8({0x80, 0xBF}), {}, "0\n63"},
        {Bytes().u8({0x0B, 0x80, 0x01, 0x0B, 0x01}), {}, "64\n-1"},
        {Bytes().u8({0x0B}).sv(INT32_MIN).u8({0x0B}).sv(INT32_MAX), {}, "-2147483648\n2147483647"},
        {Bytes().u8({0x3F, 0x0B, 0x0A}), {}, "5"},  // the type id as a varint
        {Bytes().u8({0xC2, 0xC3, 0x03, 0x02}), {}, "#(true)\n#(false)\n#(none)\n#(unset)"},
        {Bytes().u8({0x4C, 0x04, 0x4C, 0x03}).u8({0x0C}).f64(2.5).u8({0x0C}).f64(-0.0), {}, "2.0\n-2.0\n2.5\n-0.0"},
        {Bytes().u8({0x66}).sv(250).u8({0x26}).f64(0.125), {}, "250%\n12.5%"},
        {Bytes().u8({0x6B}).sv(3661).u8({0x2B}).f64(1.5), {}, "1:01:01\n0:00:01.5"},
        {Bytes().u8({0x25}).sv(640).sv(-480), {}, "640x-480"},
        {Bytes().u8({0x0A, 0x41, 0x0A}).uv(0x263A), {}, "#\"A\"\n#\"^(263A)\""},
        {Bytes().u8({0x27, 1, 2, 3, 0x67, 4, 10, 0, 0, 1}), {}, "1.2.3\n10.0.0.1"},
        {Bytes().u8({0x01, 0x07, 0x21, 2, 0x00, 0x10, 0x21, 0}), {}, "#(string!)\nmake typeset! [integer!]\nmake typeset! []"},
        {Bytes().u8({0x31, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x40, 0x00}), {}, "$12.34000"},
        {Bytes().u8({0x71, 1, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x40, 0x00}), {}, "-AED$12.34000"},
        {Bytes().u8({0x2F}).u32(date_word(2020, 1, 1, false)).u8({0x6F}).u32(date_word(2020, 1, 1, true)).f64(37800),
         {},
         "1-Jan-2020\n1-Jan-2020/10:30:00"},
        {Bytes().u8({0x07, 0x0C}).text("abc").u8({0x07, 0x0D, 0x61, 0, 0xE9, 0, 0xAC, 0x20}).u8({0x07, 0x06, 0, 0xF6, 1, 0}),
         {},
         "\"abc\"\n\"a^(E9)^(20AC)\"\n\"^(1F600)\""},
        {Bytes().u8({0x08, 0x0C}).text("abc").u8({0x09, 0x10}).text("a:bc").u8({0x2C, 0x0C}).text("abc"),
         {},
         "%abc\na:bc\n<abc>"},
        {Bytes().u8({0x2D, 0x14}).text("a@b.c").u8({0x32, 0x0C}).text("abc").u8({0x29, 3, 1, 2, 3}), {}, "a@b.c\n@abc\n#{010203}"},
        {Bytes().u8({0x07, 0x00, 0x29, 0x00}), {}, "\"\"\n#{}"},
        {Bytes().u8({0x05, 3, 0x85, 0x86, 0x87, 0x06, 1, 0x85, 0x05, 0}), {}, "[5 6 7]\n(5)\n[]"},
        {Bytes().u8({0x05, 2, 0x85, 0xC0, 0x86}), {}, "[5\n6]"},
        {Bytes().u8({0x05, 2, 0x05, 1, 0x85, 0x06, 0}), {}, "[[5] ()]"},
        {Bytes().u8({0x24, 2, 0x85, 0x86}), {}, "make hash! [5 6]"},
        {Bytes().u8({0x23, 0x2D, 3, 1, 0, 2, 0, 3, 0, 0x23, 0x33, 1}).f64(1.5), {}, "make vector! [integer! 16 [1 2 3]]\nmake vector! [1.5]"},
        {Bytes().u8({0x1E, 2, 0x80, 0x40, 0x5E, 1, 0xFF}), {}, "make bitset! #{8040}\nmake bitset! [not #{00}]"},
        {Bytes().u8({0x33}).f32(1.5f).f32(2.0f).u8({0x34}).f32(1.5f).f32(2.0f).f32(-3.0f), {}, "(1.5, 2)\n(1.5, 2, -3)"},
        {Bytes().u8({0x0F, 0, 0x10, 0, 0x11, 0, 0x12, 0, 0x13, 0, 0x14, 1}), ab, "a\na:\n'a\n:a\n/a\n#b"},
        {Bytes().u8({0x19, 2, 0x0F, 0, 0x0F, 1, 0x1A, 2, 0x0F, 0, 0x0F, 1}), ab, "a/b\n'a/b"},
        {Bytes().u8({0x1B, 2, 0x0F, 0, 0x0F, 1, 0x1C, 2, 0x0F, 0, 0x0F, 1}), ab, "a/b:\n:a/b"},
        {Bytes().u8({0x28, 4, 0x10, 0, 0x85, 0x0F, 1, 0x86}), ab, "#[\n    a: 5\n    b: 6\n]"},
        {Bytes().u8({0x14, 0}), {""}, "#"},
        {Bytes().u8({0xC0, 0x85, 0xC0, 0xC0, 0x03}), {}, "5\n#(none)"},
    };
    for (const ValueCase& c : cases) EXPECT_EQ(decoded(compact_file(c.records, c.symbols)), c.molded) << c.molded;
}

TEST_F(VumbinDecoderTest, FixedRecordsDecodeToTheirValues) {
    const std::vector<std::string> ab = {"a", "b"};
    const ValueCase cases[] = {
        {Bytes().u32(0x0B).u32(uint32_t(-7)).u32(0x03).u32(0x02), {}, "-7\n#(none)\n#(unset)"},
        {Bytes().u32(0x04).u32(1).u32(0x0A).u32(0x263A).u32(0x01).u32(0x07), {}, "#(true)\n#\"^(263A)\"\n#(string!)"},
        {Bytes().u32(0x0C).f64(2.5).u32(0x26).f64(0.5).u32(0x2B).f64(3661), {}, "2.5\n50%\n1:01:01"},
        {Bytes().u32(0x25).u32(3).u32(uint32_t(-4)).u32(0x33).f32(1.5f).f32(2.0f), {}, "3x-4\n(1.5, 2)"},
        {Bytes().u32(0x2F).u32(date_word(2020, 1, 1, true)).f64(37800), {}, "1-Jan-2020/10:30:00"},
        {Bytes().u32(0x21).u32(0x1000).u32(0).u32(0), {}, "make typeset! [integer!]"},
        {Bytes().u32(0x27 | 4 << 8).u8({10, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}), {}, "10.0.0.1"},
        {Bytes().u32(0x31 | vumbin::fixed_money_negative).u8({0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x23, 0x40}), {}, "-$0.12340"},
        {Bytes().u32(0x07 | 1 << 8).u32(0).u32(3).text("abc").u8({0}), {}, "\"abc\""},
        {Bytes().u32(0x07 | 2 << 8).u32(0).u32(3).u8({0x61, 0, 0xE9, 0, 0xAC, 0x20, 0, 0}), {}, "\"a^(E9)^(20AC)\""},
        {Bytes().u32(0x29 | 1 << 8).u32(0).u32(2).u8({1, 2, 0, 0}), {}, "#{0102}"},
        {Bytes().u32(0x05).u32(0).u32(2).u32(0x0B).u32(5).u32(0).u32(0x8000000B).u32(6), {}, "[5\n6]"},
        {Bytes().u32(0x23 | 2 << 8).u32(0).u32(2).u32(0x0B).u8({1, 0, 2, 0}), {}, "make vector! [integer! 16 [1 2]]"},
        {Bytes().u32(0x1E | vumbin::fixed_bitset_complemented).u32(1).u8({0xFF, 0, 0, 0}), {}, "make bitset! [not #{00}]"},
        {Bytes().u32(0x0F | vumbin::fixed_word_global).u32(0).u32(0).u32(0x14).u32(1), ab, "a\n#b"},
        {Bytes().u32(0x28).u32(2).u32(0x10 | vumbin::fixed_word_global).u32(1).u32(0).u32(0x0B).u32(5), ab,
         "#[\n    b: 5\n]"},
    };
    for (const ValueCase& c : cases) EXPECT_EQ(decoded(fixed_file(c.records, c.symbols)), c.molded) << c.molded;
}

TEST_F(VumbinDecoderTest, SharedSeriesStayShared) {
    stack::Mark mark;
    // [["ab" <the first string again>] <the inner block again>]: paths from
    // the destination block.
    Bytes records;
    records.u8({0x05, 2, 0x05, 2, 0x07, 0x08}).text("ab").u8({0xC1, 0x07, 3, 0, 0, 0});
    records.u8({0xC1, 0x45, 1, 2, 0, 0});
    Cell* block = decode(compact_file(records));
    Cell outer = *series::cells_head(block->w2);
    Cell inner = series::cells_head(outer.w2)[0];
    Cell* strings = series::cells_mut(inner.w2);
    EXPECT_EQ(strings[0].w2, strings[1].w2);
    Cell again = series::cells_head(outer.w2)[1];
    EXPECT_EQ(again.w2, inner.w2);
    EXPECT_EQ(again.w1, 1u);
    EXPECT_EQ(mold(outer), "[[\"ab\" \"ab\"] [\"ab\"]]");
}

TEST_F(VumbinDecoderTest, BlockContainsItselfThroughAPath) {
    stack::Mark mark;
    for (bool compact : {true, false}) {
        Cell* block = compact ? decode(compact_file(Bytes().u8({0x05, 2, 0x85, 0xC1, 0x05, 1, 0})))
                              : decode(fixed_file(Bytes()
                                                      .u32(0x05).u32(0).u32(2)
                                                      .u32(0x0B).u32(5)
                                                      .u32(0x05 | vumbin::fixed_reference).u32(0).u32(1).u32(0)));
        Cell outer = *series::cells_head(block->w2);
        EXPECT_EQ(series::cells_head(outer.w2)[1].w2, outer.w2) << compact;
        // A back-reference copies the cell a path names.
        Cell* copied = decode(compact_file(Bytes().u8({0x05, 1, 0x07, 0x04, 0x78, 0xFF, 2, 0, 0})));
        EXPECT_EQ(series::cells_head(copied->w2)[1].w2, series::cells_head(series::cells_head(copied->w2)->w2)->w2);
    }
}

// An object of two fields a: 5 and b: [a], whose a in b names the object by a
// path ([0]: the first top-level record).
Bytes object_of_a_and_b(int32_t class_id) {
    return Bytes().u8({0x20}).sv(class_id).u8({0x0E, 0x12, 2, 0, 1, 0x85, 0x05, 1, 0xC1, 0x4F, 0}).sv(0).u8({1, 0});
}

TEST_F(VumbinDecoderTest, WordsOfAnObjectNameTheirOwner) {
    stack::Mark mark;
    Cell* block = decode(compact_file(object_of_a_and_b(7), {"a", "b"}));
    Cell o = *series::cells_head(block->w2);
    ASSERT_EQ(cell::type(&o), type_object);
    EXPECT_EQ(o.w2, 0xFFFFFFFFu);  // class id -1 in a saved file
    EXPECT_EQ(mold(o), "make object! [\n    a: 5\n    b: [a]\n]");
    Cell b = *context::value_of_symbol(o.w1, symbols::make("b"));
    Cell a = *series::cells_head(b.w2);
    EXPECT_EQ(a.w1, o.w1);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&a)), 5);
    EXPECT_EQ(context::owner_cell(o.w1)->w1, o.w1);

    // The owner written in full after the word's slot; a later word names it
    // through the first word, which took the owner's place.
    Bytes records = Bytes().u8({0x4F, 0}).sv(0).add(object_of_a_and_b(7));
    records.u8({0xC1, 0x50, 1}).sv(1).u8({1, 0});
    block = decode(compact_file(records, {"a", "b"}));
    Cell* words = series::cells_mut(block->w2);
    ASSERT_EQ(series::length_from_head(block), 2);
    EXPECT_EQ(cell::type(&words[0]), type_word);
    EXPECT_EQ(cell::type(&words[1]), type_set_word);
    EXPECT_EQ(words[0].w1, words[1].w1);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&words[0])), 5);
    EXPECT_EQ(cell::type(context::get_word_value(&words[1])), type_block);
}

TEST_F(VumbinDecoderTest, ObjectChangeRecordIsKept) {
    stack::Mark mark;
    // Handlers: on-change* at field 1 with 2 locals, no on-deep-change*.
    Bytes records = Bytes().u8({0x60}).sv(0).sv(int32_t(1u << 16 | 2)).sv(int32_t(0xFFFFu << 16));
    records.u8({0x0E, 0x12, 2, 0, 1, 0x85, 0x86});
    Cell o = *series::cells_head(decode(compact_file(records, {"a", "on-change*"}))->w2);
    ASSERT_NE(o.w3, 0u);
    Cell* record = series::cells_mut(o.w3);
    EXPECT_EQ(record[0].w2, 1u << 16 | 2);
    EXPECT_EQ(record[1].w2 >> 16, object_type::no_handler);
    // A handler position past the fields.
    Bytes bad = Bytes().u8({0x60}).sv(0).sv(int32_t(5u << 16)).sv(int32_t(0xFFFFu << 16));
    bad.u8({0x0E, 0x12, 1, 0, 0x85});
    EXPECT_EQ(refusal(compact_file(bad, {"a"})).argument, std::to_string(compact_file(bad, {"a"}).size() - bad.size() + 3));
}

TEST_F(VumbinDecoderTest, FunctionKeepsItsContextSpecAndBody) {
    stack::Mark mark;
    // func [x] [x]: the body's x names the function by the path [0]; a second
    // record refers to the whole function; a back-reference steps into its body.
    Bytes records = Bytes().u8({0x18, 1, 1, 0x0E, 0x05, 1, 0, 0x05, 1, 0x0F, 0, 0x05, 1, 0xC1, 0x4F, 0}).sv(0).u8({1, 0});
    records.u8({0xC1, 0x18, 1, 0, 0xFF, 3, 0, 1, 0});
    Cell* block = decode(compact_file(records, {"x"}));
    Cell cells[3];
    std::memcpy(cells, series::cells_head(block->w2), sizeof cells);
    Cell f = cells[0];
    ASSERT_EQ(cell::type(&f), type_function);
    EXPECT_EQ(mold(f), "func [x][x]");
    EXPECT_TRUE(context::is_stack(f.w1));
    Cell body = series::cells_head(f.w3)[function::info_body];
    Cell x = *series::cells_head(body.w2);
    EXPECT_EQ(x.w1, f.w1);
    EXPECT_EQ(x.w3, 0u);
    EXPECT_EQ(context::owner_cell(f.w1)->w3, f.w3);
    EXPECT_EQ(cells[1].w3, f.w3);  // the same function
    EXPECT_EQ(cells[2].w1, f.w1);  // the body's word, copied
    // A context that does not hold the spec's words is refused at the spec.
    Bytes wrong = Bytes().u8({0x18, 1, 0, 0x0E, 0x05, 1, 0, 0x05, 1, 0x0F, 1, 0x05, 0});
    std::vector<uint8_t> file = compact_file(wrong, {"x", "y"});
    EXPECT_EQ(refusal(file).argument, std::to_string(file.size() - wrong.size() + 8));
}

TEST_F(VumbinDecoderTest, OwnersAreFoundThroughTheWordThatTookTheirPlace) {
    stack::Mark mark;
    // A word of func [x] [] with the function in full; the function and
    // then its body named later by paths through that word. A function may
    // also have no body (none).
    Bytes function = Bytes().u8({0x18, 1, 0, 0x0E, 0x05, 1, 0, 0x05, 1, 0x0F, 0, 0x05, 0});
    Bytes records = Bytes().u8({0x4F, 0}).sv(0).add(function).u8({0xC1, 0x18, 1, 0, 0xFF, 2, 0, 1});
    records.u8({0x18, 0, 0, 0x0E, 0x05, 0, 0x05, 0, 0x03});
    Cell* block = decode(compact_file(records, {"x"}));
    Cell cells[4];
    std::memcpy(cells, series::cells_head(block->w2), sizeof cells);
    Cell owner = *context::owner_cell(cells[0].w1);
    EXPECT_EQ(cell::type(&cells[1]), type_function);
    EXPECT_EQ(cells[1].w3, owner.w3);
    EXPECT_EQ(cell::type(&cells[2]), type_block);
    EXPECT_EQ(cells[2].w2, series::cells_head(owner.w3)[function::info_body].w2);
    EXPECT_EQ(cell::type(series::cells_head(cells[3].w3) + function::info_body), type_none);

    // The same for an object, and a path through the word into its fields.
    records = Bytes().u8({0x4F, 0}).sv(0).add(object_of_a_and_b(0)).u8({0xC1, 0x20, 1, 0, 0xFF, 3, 0, 1, 0});
    block = decode(compact_file(records, {"a", "b"}));
    std::memcpy(cells, series::cells_head(block->w2), 3 * sizeof(Cell));
    EXPECT_EQ(cell::type(&cells[1]), type_object);
    EXPECT_EQ(cells[1].w1, cells[0].w1);
    EXPECT_EQ(cell::type(&cells[2]), type_word);
    EXPECT_EQ(cells[2].w1, cells[0].w1);
}

TEST_F(VumbinDecoderTest, ContextValuesAreALevelOfTheirOwn) {
    stack::Mark mark;
    // A context! of a: [5], then a path through its value to the 5.
    Bytes records = Bytes().u8({0x0E, 0x12, 1, 0, 0x05, 1, 0x85, 0xFF, 3, 0, 0, 0});
    Cell* block = decode(compact_file(records, {"a"}));
    Cell* cells = series::cells_mut(block->w2);
    EXPECT_EQ(cell::type(&cells[0]), type_context);
    EXPECT_EQ(cell::type(&cells[1]), type_integer);
    EXPECT_EQ(cell::get_integer(&cells[1]), 5);
    EXPECT_EQ(series::length_from_head(block), 2);
}

TEST_F(VumbinDecoderTest, NativesActionsAndOperatorsComeFromTheirTables) {
    stack::Mark mark;
    natives::set_native(1, [](const int32_t*) {});
    natives::set_front_end(1, [](const int32_t*) {});
    // make native! [[a b] 1], an action at position 1, and operators over
    // a native and over a function.
    Bytes records = Bytes().u8({0x15, 1, 0x05, 2, 0x0F, 0, 0x0F, 1, 0x16, 1, 0x05, 0});
    records.u8({0x17, 0x15, 1, 0x05, 2, 0x0F, 0, 0x0F, 1});
    records.u8({0xC0, 0x17, 0x18, 2, 0, 0x0E, 0x05, 2, 0, 1, 0x05, 2, 0x0F, 0, 0x0F, 1, 0x05, 0});
    Cell* block = decode(compact_file(records, {"a", "b"}));
    Cell cells[4];
    std::memcpy(cells, series::cells_head(block->w2), sizeof cells);
    EXPECT_EQ(cell::type(&cells[0]), type_native);
    EXPECT_EQ(cells[0].w1, 1u);
    EXPECT_EQ(mold(cells[0]), "make native! [[a b]]");
    EXPECT_EQ(cell::type(series::cells_head(cells[0].w3)), type_context);
    EXPECT_EQ(cell::type(&cells[1]), type_action);
    EXPECT_EQ(cell::type(&cells[2]), type_op);
    EXPECT_EQ((cells[2].header & cell::op_source_mask) >> cell::op_source_shift, uint32_t(type_native));
    EXPECT_EQ(cell::type(&cells[3]), type_op);
    EXPECT_TRUE(cell::has_new_line(&cells[3]));
    EXPECT_EQ((cells[3].header & cell::op_source_mask) >> cell::op_source_shift, uint32_t(type_function));
    Cell source = series::cells_head(cells[3].w3)[function::info_op];
    EXPECT_EQ(cell::type(&source), type_function);
    EXPECT_EQ(source.w3, cells[3].w3);
}

TEST_F(VumbinDecoderTest, ErrorsCarryTheirCodeAndFields) {
    stack::Mark mark;
    Bytes records = Bytes().u8({0x22}).uv(300).u8({0x85, 0x07, 0x0C}).text("abc").u8({0x03, 0x03, 0x03, 0x05, 0});
    Cell* block = decode(compact_file(records));
    Cell e = *series::cells_head(block->w2);
    ASSERT_EQ(cell::type(&e), type_error);
    Cell made;
    Cell code = integer(300);
    error::make(&code, &made);
    EXPECT_EQ(error_id(e), error_id(made));
    EXPECT_EQ(cell::get_integer(error::field(&e, error::field_arg1)), 5);
    EXPECT_EQ(mold(*error::field(&e, error::field_arg2)), "\"abc\"");
    EXPECT_EQ(cell::type(error::field(&e, error::field_stack)), type_block);
    EXPECT_EQ(series::length_from_head(block), 1);
}

TEST_F(VumbinDecoderTest, HashesAndMapsIndexTheirKeys) {
    stack::Mark mark;
    Bytes records = Bytes().u8({0x24, 3, 0x85, 0x86, 0x87, 0x28, 4, 0x10, 0, 0x85, 0x07, 0x0C}).text("key").u8({0x86});
    Cell* block = decode(compact_file(records, {"a"}));
    Cell* cells = series::cells_mut(block->w2);
    Cell hash = cells[0], map = cells[1];
    ASSERT_NE(hash.w3, 0u);
    Cell six = integer(6);
    Cell* found = hashtable::find(hash.w3, &six, 0, 1, 0, false, false);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found - series::cells_head(hash.w2), 1);
    EXPECT_EQ(map_type::count(&map), 2);
    Cell key = {type_string, 0, series::cells_head(map.w2)[2].w2, 0};
    EXPECT_NE(hashtable::find(map.w3, &key, 0, 2, 0, false, false), nullptr);
}

TEST_F(VumbinDecoderTest, BootImageBindsWordsByRootCell) {
    stack::Mark mark;
    // Root 0: an object (class 42) with f: 5; then f bound to root 0 at slot
    // 0, a set-word f looked up there (-1), the global g assigned 6 and the
    // issue #h assigned 7 (neither stays), and the integer 9.
    Bytes records = Bytes().u8({0x20}).sv(42).u8({0x0E, 0x12, 1, 0, 0x85});
    records.u8({0x4F, 0}).uv(0).sv(0).u8({0x50, 0}).uv(0).sv(-1);
    records.u8({0xC4, 0x0F, 1, 0x86, 0xC4, 0x14, 2, 0x87, 0x89});
    std::vector<uint8_t> image = compact_file(records, {"f", "g", "h"});
    image[6] = vumbin::version_boot;
    gc::state.enabled = 1;
    int32_t before = series::length_from_head(&gc::roots.root_block);
    int32_t base = vumbin::load_boot_image(image.data(), false);
    EXPECT_EQ(gc::state.enabled, 1);
    EXPECT_EQ(base, before);
    EXPECT_EQ(vumbin::root_base_index(), base);
    ASSERT_EQ(series::length_from_head(&gc::roots.root_block), base + 4);
    Cell* root = series::cells_mut(gc::roots.root_block.w2) + base;
    EXPECT_EQ(root[0].w2, 42u);
    EXPECT_EQ(root[1].w1, root[0].w1);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&root[1])), 5);
    EXPECT_EQ(cell::type(&root[2]), type_set_word);
    EXPECT_EQ(root[2].w3, 0u);
    EXPECT_EQ(cell::get_integer(&root[3]), 9);
    Cell g = context::load_word("g"), h = context::load_word("h");
    EXPECT_EQ(cell::get_integer(context::get_word_value(&g)), 6);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&h)), 7);

    // The same in the fixed form: the word's root index, -1 for the global
    // context, and the assignment bit.
    Bytes fixed = Bytes().u32(0x20).u32(42).u32(0x0E | 2u << 26 | vumbin::fixed_context_values).u32(1).u32(0);
    fixed.u32(0x0B).u32(5);
    fixed.u32(0x0F).u32(0).u32(0).u32(0);
    fixed.u32(0x0F | vumbin::fixed_word_assign).u32(1).u32(uint32_t(-1)).u32(uint32_t(-1)).u32(0x0B).u32(8);
    image = fixed_file(fixed, {"f", "g"});
    int32_t second = vumbin::load_boot_image(image.data(), true);
    EXPECT_EQ(second, base + 4);
    EXPECT_EQ(vumbin::root_base_index(), base);  // kept
    root = series::cells_mut(gc::roots.root_block.w2) + second;
    EXPECT_EQ(cell::get_integer(context::get_word_value(&root[1])), 5);
    EXPECT_EQ(cell::get_integer(context::get_word_value(&g)), 8);
    EXPECT_EQ(series::length_from_head(&gc::roots.root_block), second + 2);
    vumbin::set_mode(vumbin::Mode::saved);
}

TEST_F(VumbinDecoderTest, BootImageFaults) {
    stack::Mark mark;
    // Not a word after the assignment prefix; a root index past the decoded cells.
    for (const Bytes& records : {Bytes().u8({0xC4, 0x85}), Bytes().u8({0x4F, 0}).uv(0).sv(0)}) {
        std::vector<uint8_t> image = compact_file(records, {"f"});
        Cell e = caught([&] { vumbin::load_boot_image(image.data(), true); });
        EXPECT_EQ(error_id(e), "vb-invalid-record");
    }
    std::vector<uint8_t> bad = hex("56554D42494F01010185");
    EXPECT_EXIT(
        {
            output::set_descriptor(2);
            vumbin::load_boot_image(bad.data(), false);
        },
        testing::ExitedWithCode(0), "^Error: Not a Vumbin file!\n$");
    // A container of one block whose length is 0.
    std::vector<uint8_t> packed = hex("56554D42494E0103040000001000000000000000");
    EXPECT_EXIT(
        {
            output::set_descriptor(2);
            vumbin::load_boot_image(packed.data(), false);
        },
        testing::ExitedWithCode(0), "^Error: Vumbin compressed data corrupted!\n$");
    vumbin::set_mode(vumbin::Mode::saved);
}

// A compact file whose body (counts and records) is packed in one LZ container.
std::vector<uint8_t> packed_file(const Bytes& records) {
    std::vector<uint8_t> plain = compact_file(records);
    std::vector<uint8_t> body(plain.begin() + vumbin::header_size, plain.end());
    std::vector<uint8_t> container(lz::max_compressed_size(body.size()));
    int64_t n = lz::compress(body.data(), body.size(), container.data(), container.size());
    if (n < 0) return {};
    Bytes b = file_header(vumbin::flag_compact | vumbin::flag_compressed);
    b.v.insert(b.v.end(), container.begin(), container.begin() + n);
    return b.v;
}

TEST_F(VumbinDecoderTest, CompressedBodyDecodes) {
    Bytes values;
    for (int i = 0; i < 200; i++) values.u8({uint8_t(0x80 + i % 4)});
    Bytes records = Bytes().u8({0x05}).uv(200).add(values);
    std::vector<uint8_t> file = packed_file(records);
    ASSERT_FALSE(file.empty());
    ASSERT_LT(file.size(), compact_file(records).size());
    EXPECT_EQ(decoded(file), decoded(compact_file(records)));

    // Positions in a packed body count as if the body followed the header.
    records = Bytes().u8({0x05}).uv(201).add(values).u8({0x00});
    file = packed_file(records);
    EXPECT_EQ(refusal(file).argument, std::to_string(compact_file(records).size()));

    // A damaged or cut container.
    file = packed_file(records);
    std::vector<uint8_t> damaged = file;
    damaged[vumbin::header_size + 4] ^= 0x40;  // the uncompressed size
    std::vector<uint8_t> cut(file.begin(), file.end() - 3);
    for (const auto& bad : {damaged, cut}) {
        Refusal r = refusal(bad);
        EXPECT_EQ(r.id, "invalid-data");
        EXPECT_EQ(r.argument, "none");
    }
}

TEST_F(VumbinDecoderTest, RefusedDatatypesRaiseNoCodec) {
    for (uint8_t type : {type_routine, type_triple, type_handle, type_port, type_event}) {
        for (bool compact : {true, false}) {
            std::vector<uint8_t> file = compact ? compact_file(Bytes().u8({0x05, 1, type})) : fixed_file(Bytes().u32(type));
            Cell e = caught([&] {
                stack::Mark mark;
                decode(file);
            });
            EXPECT_EQ(error_id(e), "no-codec") << int(type);
            const Cell* datatype = error::field(&e, error::field_arg1);
            ASSERT_EQ(cell::type(datatype), type_datatype);
            EXPECT_EQ(cell::datatype_id(datatype), type) << int(type);
        }
    }
}

TEST_F(VumbinDecoderTest, MalformedRecordsAreRefusedAtTheirByte) {
    struct Case {
        const char* what;
        Bytes records;
        size_t offset;  // of the faulty byte within the records
        std::vector<std::string> symbols = {};
    };
    natives::set_native(1, [](const int32_t*) {});
    const Case cases[] = {
        {"varint too long", Bytes().u8({0x0B, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}), 1},
        {"varint above 32 bits", Bytes().u8({0x0B, 0xFF, 0xFF, 0xFF, 0xFF, 0x1F}), 1},
        {"varint cut by the records' end", Bytes().u8({0x0B, 0x80}), 1},
        {"type id 0", Bytes().u8({0x85, 0x00}), 1},
        {"type id with no datatype", Bytes().u8({0x0D}), 0},
        {"type id as a varint out of range", Bytes().u8({0x3F, 0x80, 0x02}), 0},
        {"lead byte C5", Bytes().u8({0xC5}), 0},
        {"logic by its type id", Bytes().u8({0x04}), 0},
        {"reference before an integer", Bytes().u8({0xC1, 0x85}), 1},
        {"reference before true", Bytes().u8({0xC0, 0xC1, 0xC2}), 2},
        {"assignment outside the boot image", Bytes().u8({0xC0, 0xC4, 0x0F, 0}), 1, {"a"}},
        {"unit code 3", Bytes().u8({0x07, 0x03, 0x61}), 1},
        {"string longer than the records", Bytes().u8({0x07, 0x10, 0x61}), 1},
        {"code point past Unicode", Bytes().u8({0x07, 0x06, 0x00, 0x00, 0x11, 0x00}), 1},
        {"char past Unicode", Bytes().u8({0x0A}).uv(0x110000), 1},
        {"typeset longer than 12", Bytes().u8({0x21, 13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1},
        {"tuple length 13", Bytes().u8({0x67, 13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1},
        {"tuple length 0", Bytes().u8({0x67, 0}), 1},
        {"money digit", Bytes().u8({0x31, 0, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1},
        {"money currency", Bytes().u8({0x31, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 1},
        {"date month 13", Bytes().u8({0x2F}).u32(2020u << 17 | 13u << 12 | 1u << 7), 1},
        {"date time without the short-form bit", Bytes().u8({0x2F}).u32(date_word(2020, 1, 1, true)), 1},
        {"date time past the day", Bytes().u8({0x6F}).u32(date_word(2020, 1, 1, true)).f64(90000), 1},
        {"datatype id 99", Bytes().u8({0x01, 99}), 1},
        {"vector of 8-byte integers", Bytes().u8({0x23, 0x2F, 1, 0, 0, 0, 0, 0, 0, 0, 0}), 1},
        {"block count past the records", Bytes().u8({0x05, 3, 0x85}), 1},
        {"head index past any series", Bytes().u8({0x45}).uv(0x7FFFFFFF).u8({0}), 1},
        {"map of an odd count", Bytes().u8({0x28, 3, 0x85, 0x85, 0x85}), 1},
        {"map key of a block", Bytes().u8({0x28, 2, 0x05, 0, 0x85}), 2},
        {"native position 0", Bytes().u8({0x15, 0, 0x05, 0}), 1},
        {"native position past the table", Bytes().u8({0x15}).uv(natives::native_count + 1).u8({0x05, 0}), 1},
        {"action position 63", Bytes().u8({0x16, 63, 0x05, 0}), 1},
        {"native spec not a block", Bytes().u8({0x15, 1, 0x06, 0}), 2},
        {"op over an integer", Bytes().u8({0x17, 0x0B, 0}), 1},
        {"error code of no error", Bytes().u8({0x22}).uv(99999), 1},
        {"symbol index out of range", Bytes().u8({0x0F, 1}), 1, {"a"}},
        {"word slot past its context", Bytes().add(object_of_a_and_b(0)).u8({0xC1, 0x4F, 0}).sv(2).u8({1, 0}), 19, {"a", "b"}},
        {"word owner of another kind", Bytes().u8({0x4F, 0}).sv(0).u8({0x05, 0}), 3, {"a"}},
        {"the same word twice in a context", Bytes().u8({0x0E, 0x02, 2, 0, 0}), 4, {"a"}},
        {"context kind 3", Bytes().u8({0x0E, 0x03, 0}), 1},
        {"stack context with values", Bytes().u8({0x0E, 0x14, 0}), 1},
        {"object context on the stack", Bytes().u8({0x20, 0, 0x0E, 0x06, 0}), 3},
        {"object without its context", Bytes().u8({0x20, 0, 0x05, 0}), 2},
        {"function context not on the stack", Bytes().u8({0x18, 0, 0, 0x0E, 0x01, 0, 0x05, 0, 0x05, 0}), 4},
        {"path of no steps", Bytes().u8({0xFF, 0}), 1},
        {"path leaving its series", Bytes().u8({0xFF, 1, 5}), 2},
        {"path leaving a nested series", Bytes().u8({0x05, 2, 0x85, 0xFF, 2, 0, 7}), 6},
        {"path into an integer", Bytes().u8({0x85, 0xFF, 2, 0, 0}), 4},
        {"path longer than the records", Bytes().u8({0xFF, 9, 0}), 1},
        {"reference of the wrong kind", Bytes().u8({0x85, 0xC1, 0x07, 1, 0}), 3},
        {"reference to a hash as a block", Bytes().u8({0x24, 0, 0xC1, 0x05, 1, 0}), 4},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> file = compact_file(c.records, c.symbols);
        Refusal r = refusal(file);
        EXPECT_EQ(r.id, "vb-invalid-record") << c.what;
        EXPECT_EQ(r.argument, std::to_string(file.size() - c.records.size() + c.offset + 1)) << c.what;
    }
    const Case fixed_cases[] = {
        {"string unit 3", Bytes().u32(0x07 | 3 << 8).u32(0).u32(0), 0},
        {"binary unit 2", Bytes().u32(0x29 | 2 << 8).u32(0).u32(0), 0},
        {"tuple length 13", Bytes().u32(0x27 | 13 << 8).u32(0).u32(0).u32(0), 0},
        {"logic 2", Bytes().u32(0x04).u32(2), 4},
        {"block count past the records", Bytes().u32(0x05).u32(0).u32(2).u32(0x03), 8},
        {"record cut by the records' end", Bytes().u32(0x0B).u8({5, 0}), 4},
        {"filler cut by the records' end", Bytes().u32(0x00).u8({0}), 4},
        {"path index past its series", Bytes().u32(0xFF).u32(0), 0},
        {"word slot past its context",
         Bytes().u32(0x20).u32(0).u32(0x0E | 2u << 26).u32(0).u32(0x0F | vumbin::fixed_reference).u32(0).u32(3).u32(1).u32(0),
         24,
         {"a"}},
    };
    for (const Case& c : fixed_cases) {
        std::vector<uint8_t> file = fixed_file(c.records, c.symbols);
        Refusal r = refusal(file);
        EXPECT_EQ(r.id, "vb-invalid-record") << c.what;
        EXPECT_EQ(r.argument, std::to_string(file.size() - c.records.size() + c.offset + 1)) << c.what;
    }
}

TEST_F(VumbinDecoderTest, MalformedHeadersAreRefused) {
    struct Case {
        const char* what;
        std::vector<uint8_t> file;
        const char* id;
        const char* argument;
    };
    // A symbol table whose names lack their final NUL: 8 header bytes, four
    // one-byte counts, one offset, then "abc".
    std::vector<uint8_t> no_nul = hex("56554D42494E02050102010300000000616263");
    no_nul.push_back(0x0F);
    no_nul.push_back(0x00);
    const Case cases[] = {
        {"truncated", hex("56554D42494E02010101"), "vb-invalid-record", "10"},
        {"records larger than the data", hex("56554D42494E0201010285"), "vb-invalid-record", "10"},
        {"no flags byte", hex("56554D42494E02"), "vb-invalid-record", "8"},
        {"no counts", hex("56554D42494E0201"), "vb-invalid-record", "9"},
        {"string table without its NUL", no_nul, "vb-invalid-record", "19"},
        {"more symbols than the data holds", hex("56554D42494E020501020900"), "vb-invalid-record", "11"},
        {"fixed body under 8 bytes", hex("56554D42494E020001000000"), "invalid-data", "none"},
        {"fixed records larger than the data", hex("56554D42494E02000100000009000000"), "vb-invalid-record", "13"},
        {"bad magic", hex("56554D42494F0201010185"), "invalid-data", "none"},
        {"short magic", hex("56554D"), "invalid-data", "none"},
        {"nothing", {}, "invalid-data", "none"},
        {"packed body of nothing", hex("56554D42494E02030000000000000000"), "vb-invalid-record", "9"},
    };
    for (const Case& c : cases) {
        Refusal r = refusal(c.file);
        EXPECT_EQ(r.id, c.id) << c.what;
        EXPECT_EQ(r.argument, c.argument) << c.what;
    }
    // invalid-data names the value being decoded.
    Cell e = caught([&] {
        stack::Mark mark;
        const uint8_t bytes[] = {'V', 'U', 'M', 'B', 'I', 'X'};
        Cell* source = binary::push_bytes(bytes, 6);
        vumbin::decode(bytes, 6, B({}), true, source);
    });
    EXPECT_EQ(error_id(e), "invalid-data");
    EXPECT_EQ(mold(*error::field(&e, error::field_arg1)), "#{56554D424958}");
}

TEST_F(VumbinDecoderTest, NestingDeeperThanTheLimitIsRefused) {
    stack::Mark mark;
    CoarserTorture coarser(31);
    Bytes records;
    for (int32_t i = 1; i < vumbin::max_depth; i++) records.u8({0x05, 1});
    EXPECT_EQ(series::length_from_head(decode(compact_file(Bytes().add(records).u8({0x85})))), 1);
    records.u8({0x05, 1, 0x85});
    std::vector<uint8_t> file = compact_file(records);
    Refusal r = refusal(file);
    EXPECT_EQ(r.id, "vb-invalid-record");
    EXPECT_EQ(r.argument, std::to_string(file.size() - records.size() + 2 * vumbin::max_depth + 1));
}

// The bytes may lie in a series that moves while the decoder allocates.
TEST_F(VumbinDecoderTest, DataInASeriesIsReadBeforeAnythingMoves) {
    stack::Mark mark;
    Bytes records = Bytes().u8({0x05, 4, 0x07, 0x0C}).text("abc").u8({0x05, 1, 0x85, 0x24, 1, 0x86, 0x29, 1, 9});
    std::vector<uint8_t> file = compact_file(records);
    Cell* data = stack::push_cell();
    *data = binary::make_cell(int32_t(file.size()));
    std::memcpy(series::alloc_tail_bytes(data->w2, int32_t(file.size())), file.data(), file.size());
    gc::set_torture(1);
    Cell* block = B({});
    vumbin::decode(nodes::buffer(data->w2)->head_ptr(), int64_t(file.size()), block, true, data);
    gc::set_torture(saved_torture);
    EXPECT_EQ(mold(*block), "[[\"abc\" [5] make hash! [6] #{09}]]");
}
