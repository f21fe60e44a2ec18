// The serialised-value encoders against bytes worked out by hand from the
// format: whole files for the smallest values, the records of every
// datatype in both forms, references to series, objects and functions met
// before (checked by walking each reference path through the original
// value by the path rules a decoder follows), and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "evaluator-fixture.h"
#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/error.h"
#include "datatypes/hash.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/typeset.h"
#include "datatypes/vector.h"
#include "engine/interpreter.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-encoder.h"
#include "memory/cell-access.h"
#include "platform/runtime-thread.h"

using namespace vum;

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Expectations are written with spaces between groups.
std::string squeeze(const char* spaced) {
    std::string out;
    for (const char* p = spaced; *p; p++)
        if (*p != ' ') out += *p;
    return out;
}

// The end of the text, as long as the expectation.
std::string tail(const std::string& text, const char* expected) {
    size_t n = squeeze(expected).size();
    return text.size() < n ? text : text.substr(text.size() - n);
}

// A file taken apart by its header: the flags, the symbol names and the
// records area.
struct Parts {
    uint8_t flags = 0;
    std::vector<std::string> names;
    std::string records;  // bytes
};

Parts split(const std::string& file, bool compact) {
    Parts p;
    EXPECT_EQ(file.substr(0, 7), std::string("VUMBIN\x02"));
    p.flags = uint8_t(file[7]);
    size_t at = 8;
    auto number = [&]() {
        uint32_t v = 0;
        if (compact) {
            for (int shift = 0;; shift += 7) {
                auto b = uint8_t(file.at(at++));
                v |= uint32_t(b & 0x7F) << shift;
                if (!(b & 0x80)) break;
            }
        } else {
            std::memcpy(&v, file.data() + at, 4);
            at += 4;
        }
        return v;
    };
    EXPECT_EQ(number(), 1u);  // one top-level record
    uint32_t size = number();
    if (p.flags & 4) {
        uint32_t n = number();
        uint32_t string_size = number();
        size_t offsets = at;
        size_t strings = at + 4 * size_t(n);
        for (uint32_t i = 0; i < n; i++) {
            uint32_t offset;
            std::memcpy(&offset, file.data() + offsets + 4 * i, 4);
            p.names.emplace_back(file.c_str() + strings + offset);
        }
        at = strings + string_size;
        EXPECT_EQ(file[at - 1], '\0');
    }
    p.records = file.substr(at);
    EXPECT_EQ(p.records.size(), size);
    return p;
}

class VumbinEncoderTest : public EvaluatorTest {
protected:
    void SetUp() override {
        EvaluatorTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        natives::set_native(1, [](const int32_t*) {});  // for a native! to stand on
    }
    void TearDown() override {
        natives::set_native(1, nullptr);
        partial_services::fill();
        EvaluatorTest::TearDown();
    }

    // The whole file, as bytes.
    static std::string encode(const Cell& value, bool compact) {
        stack::Mark mark;
        Cell* v = stack::push_copy(&value);
        Cell* result = stack::push_cell();
        if (compact)
            vumbin::encode_compact(v, result);
        else
            vumbin::encode_fixed(v, result);
        EXPECT_EQ(cell::type(result), type_binary);
        return binary::to_bytes(result);
    }
    static std::string file_hex(const Cell& value, bool compact) { return hex(encode(value, compact)); }
    static Parts parts(const Cell& value, bool compact) { return split(encode(value, compact), compact); }
    static std::string records(const Cell& value, bool compact) { return hex(parts(value, compact).records); }

    // The first value of the source text, kept on the value stack.
    Cell* first(const char* source) {
        Cell* b = load(source);
        return stack::push_copy(series::cells_head(b->w2) + b->w1);
    }
    // An object made from a spec that is evaluated in it.
    Cell* object(const char* spec) {
        Cell* s = load(spec);
        Cell* result = stack::push_cell();
        Cell prototype = cell::make_datatype(type_object);
        object_type::make(&prototype, s, type_object, result);
        return result;
    }
    Cell* function(const char* spec, const char* body) {
        Cell* s = first(spec);
        Cell* b = first(body);
        Cell* result = stack::push_cell();
        function::make_func(s, b, result);
        return result;
    }
    // The value of a word of the object, as the object holds it.
    static Cell field(const Cell* object, const char* name) {
        Cell w = W(name);
        return *object_type::select_word(object, &w);
    }

    // Follows a reference path by the rules a decoder follows, from a
    // destination block whose only cell (index 0) is the top value, and
    // answers the cell it names.
    static Cell walk(const Cell& top, const std::vector<uint32_t>& path) {
        Cell at = top;
        bool first_step = true;
        for (uint32_t index : path) {
            if (first_step) {
                EXPECT_EQ(index, 0u);
                first_step = false;
                continue;
            }
            at = step(at, index);
        }
        return at;
    }
    static Cell step(const Cell& from, uint32_t i) {
        uint8_t t = cell::type(&from);
        if (t >= type_word && t <= type_refinement) {
            uint32_t ctx = cell::word_context(&from);
            Cell owner = *context::owner_cell(ctx);
            if (cell::type(&owner) == type_function) return step(owner, i);
            return series::cells_head(context::context_cell(ctx)->w2)[i];
        }
        switch (t) {
            case type_function:
                if (i == 0) return {type_block, 0, cell::function_spec(&from), 0};
                return series::cells_head(cell::function_info(&from))[function::info_body];
            case type_native: case type_action:
                return series::cells_head(cell::function_spec(&from))[i];
            case type_object:
                return *(object_type::values_head(context::context_cell(cell::context_node(&from))) + i);
            case type_error:
                return *error::field(&from, error::Field(error::field_arg1 + int32_t(i)));
            case type_map: {
                // Live pairs only, as a decoder rebuilds the map.
                const Cell* c = series::cells_head(from.w2);
                for (uint32_t k = 0;; k += 2) {
                    if (c[k + 1].header == 0) continue;
                    if (i < 2) return c[k + i];
                    i -= 2;
                }
            }
            default:
                return series::cells_head(from.w2)[i];
        }
    }
};

// ---- Whole files ----

TEST_F(VumbinEncoderTest, WholeFilesOfTheSmallestValues) {
    Cell five = integer(5);
    EXPECT_EQ(file_hex(five, true), "56554D42494E0201010185");
    EXPECT_EQ(file_hex(five, false), "56554D42494E020001000000080000000B00000005000000");

    // A word brings the symbol table: count, size, offsets, NUL-ended names.
    Cell* abc = first("abc");
    EXPECT_EQ(file_hex(*abc, true), "56554D42494E02050102010400000000616263000F00");
    EXPECT_EQ(file_hex(*abc, false), squeeze("56554D42494E 02 04 01000000 0C000000 01000000 04000000 00000000 "
                                             "61626300 0F000002 00000000 FFFFFFFF"));
}

TEST_F(VumbinEncoderTest, SymbolsAreNumberedInOrderOfFirstUse) {
    Cell* b = first("[b a b #c a]");
    Parts p = parts(*b, true);
    EXPECT_EQ(p.flags, 5);
    EXPECT_EQ(p.names, (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(hex(p.records), squeeze("05 05 0F00 0F01 0F00 1402 0F01"));
    Parts f = parts(*b, false);
    EXPECT_EQ(f.flags, 4);
    EXPECT_EQ(f.names, p.names);
}

// ---- Every datatype, both forms ----

TEST_F(VumbinEncoderTest, RecordsOfEveryDatatypeInBothForms) {
    struct Case {
        std::string what;
        Cell* value;
        const char* compact;
        const char* fixed;
    };
    std::vector<Case> cases;
    auto add = [&](const std::string& what, Cell* value, const char* compact, const char* fixed) {
        cases.push_back({what, value, compact, fixed});
    };
    auto from = [&](const char* source, const char* compact, const char* fixed) {
        add(source, first(source), compact, fixed);
    };
    auto made = [&](const char* what, Cell c, const char* compact, const char* fixed) {
        add(what, keep(c), compact, fixed);
    };
    Cell c;

    // Immediate values.
    made("unset", *cell::make_unset(&c), "02", "02000000");
    made("none", *cell::make_none(&c), "03", "03000000");
    made("true", *cell::make_logic(&c, true), "C2", "04000000 01000000");
    made("false", *cell::make_logic(&c, false), "C3", "04000000 00000000");
    made("integer!", cell::make_datatype(type_integer), "01 0B", "01000000 0B000000");
    from("#\"a\"", "0A 61", "0A000000 61000000");
    from("#\"\xE2\x82\xAC\"", "0A AC41", "0A000000 AC200000");
    made("0", integer(0), "80", "0B000000 00000000");
    made("63", integer(63), "BF", "0B000000 3F000000");
    made("64", integer(64), "0B 8001", "0B000000 40000000");
    made("-1", integer(-1), "0B 01", "0B000000 FFFFFFFF");
    made("min integer", integer(INT32_MIN), "0B FFFFFFFF0F", "0B000000 00000080");
    made("2.0", real(2.0), "4C 04", "0C000000 00000000 00000040");
    made("-3.0", real(-3.0), "4C 05", "0C000000 00000000 000008C0");
    made("2.5", real(2.5), "0C 0000000000000440", "0C000000 00000000 00000440");
    made("-0.0", real(-0.0), "0C 0000000000000080", "0C000000 00000000 00000080");
    made("0.0", real(0.0), "4C 00", "0C000000 00000000 00000000");
    made("2147483000.0", real(2147483000.0), "4C F0F5FFFF0F", "0C000000 0000005E FFFFDF41");
    made("-2147483000.0", real(-2147483000.0), "4C EFF5FFFF0F", "0C000000 0000005E FFFFDFC1");
    made("2147483001.0", real(2147483001.0), "0C 0000405EFFFFDF41", "0C000000 0000405E FFFFDF41");
    made("1e300", real(1e300), "0C 9C7500883CE4377E", "0C000000 9C750088 3CE4377E");
    made("NaN", real(std::nan("")), "0C 000000000000F87F", "0C000000 00000000 0000F87F");
    made("1:00", typed(type_time, 3600.0), "6B A038", "2B000000 00000000 0020AC40");
    made("0:00:00.5", typed(type_time, 0.5), "2B 000000000000E03F", "2B000000 00000000 0000E03F");
    made("50%", typed(type_percent, 0.5), "66 64", "26000000 00000000 0000E03F");
    made("7%", typed(type_percent, 0.07), "66 0E", "26000000 EC51B81E 85EBB13F");
    made("-250%", typed(type_percent, -2.5), "66 F303", "26000000 00000000 000004C0");
    made("12.5%", typed(type_percent, 0.125), "26 000000000000C03F", "26000000 00000000 0000C03F");
    made("-0%", typed(type_percent, -0.0), "26 0000000000000080", "26000000 00000000 00000080");
    made("2147483600%", typed(type_percent, 21474836.0), "66 A0FFFFFF0F", "26000000 00000040 E17A7441");
    made("2147483700%", typed(type_percent, 21474837.0), "26 00000050E17A7441", "26000000 00000050 E17A7441");
    from("3x-4", "25 06 07", "25000000 03000000 FCFFFFFF");
    from("(1.5, 2)", "33 0000C03F 00000040", "33000000 0000C03F 00000040");
    from("(1, 2, 3)", "34 0000803F 00000040 00004040", "34000000 0000803F 00000040 00004040");
    from("1-Jan-2020", "2F 8010C80F", "2F000000 8010C80F 00000000 00000000");
    from("1-Jan-2020/10:30", "6F 8010C90F 00000000 0075E240", "2F000000 8010C90F 00000000 0075E240");
    from("1.2.3", "27 010203", "27030000 01020300 00000000 00000000");
    from("1.2.3.4", "67 04 01020304", "27040000 01020304 00000000 00000000");
    from("1.2.3.4.5.6.7.8.9.10.11.12", "67 0C 0102030405060708090A0B0C", "270C0000 01020304 05060708 090A0B0C");
    from("-$1.50", "71 00 0000000000000000 150000", "31004000 00000000 00000000 00150000");
    from("$2", "31 00 0000000000000000 200000", "31000000 00000000 00000000 00200000");

    // typeset!: trailing zero bytes of the 96-bit set are dropped.
    Cell ts = {type_typeset, 0, 0, 0};
    made("empty typeset", ts, "21 00", "21000000 00000000 00000000 00000000");
    typeset::set_type(&ts, type_integer);
    made("typeset integer!", ts, "21 02 0010", "21000000 00100000 00000000 00000000");
    typeset::set_type(&ts, type_image);
    made("typeset integer! image!", ts, "21 07 00100000000004", "21000000 00100000 00000400 00000000");

    // Words of the global context cost their symbol only (bit 25 in the
    // fixed form, whose slot is -1).
    from("#abc", "14 00", "14000000 00000000");
    from("abc", "0F 00", "0F000002 00000000 FFFFFFFF");
    from("abc:", "10 00", "10000002 00000000 FFFFFFFF");
    from("'abc", "11 00", "11000002 00000000 FFFFFFFF");
    from(":abc", "12 00", "12000002 00000000 FFFFFFFF");
    from("/abc", "13 00", "13000002 00000000 FFFFFFFF");

    // The block kinds: head only when not 0, then the cells.
    from("[1 2]", "05 02 8182", "05000000 00000000 02000000 0B000000 01000000 0B000000 02000000");
    from("[1\n2]", "05 02 81 C082", "05000000 00000000 02000000 0B000000 01000000 0B000080 02000000");
    Cell* at_two = first("[1 2]");
    at_two->w1 = 1;
    add("next [1 2]", at_two, "45 01 02 8182", "05000000 01000000 02000000 0B000000 01000000 0B000000 02000000");
    from("(1)", "06 01 81", "06000000 00000000 01000000 0B000000 01000000");
    from("a/1", "19 02 0F00 81",
         "19000000 00000000 02000000 0F000002 00000000 FFFFFFFF 0B000000 01000000");
    from("'a/1", "1A 02 0F00 81",
         "1A000000 00000000 02000000 0F000002 00000000 FFFFFFFF 0B000000 01000000");
    from("a/1:", "1B 02 0F00 81",
         "1B000000 00000000 02000000 0F000002 00000000 FFFFFFFF 0B000000 01000000");
    from(":a/1", "1C 02 0F00 81",
         "1C000000 00000000 02000000 0F000002 00000000 FFFFFFFF 0B000000 01000000");
    Cell* hashed = first("[1]");
    hash_type::index_in_place(hashed, 1);
    add("hash! [1]", hashed, "24 01 81", "24000000 00000000 01000000 0B000000 01000000");

    // Strings in their own unit: the count shifted past a unit code.
    from("\"abc\"", "07 0C 616263", "07010000 00000000 03000000 61626300");
    from("\"\xE2\x82\xAC\"", "07 05 AC20", "07020000 00000000 01000000 AC200000");
    from("\"\xF0\x9F\x98\x80!\"", "07 0A 00F60100 21000000", "07040000 00000000 02000000 00F60100 21000000");
    from("%ab", "08 08 6162", "08010000 00000000 02000000 61620000");
    from("http://x", "09 20 687474703A2F2F78", "09010000 00000000 08000000 68747470 3A2F2F78");
    from("<b>", "2C 04 62", "2C010000 00000000 01000000 62000000");
    from("a@b", "2D 0C 614062", "2D010000 00000000 03000000 61406200");
    from("@x", "32 04 78", "32010000 00000000 01000000 78000000");
    from("#{0102}", "29 02 0102", "29010000 00000000 02000000 01020000");
    Cell* bin_at = first("#{010203}");
    bin_at->w1 = 2;
    add("skip #{010203} 2", bin_at, "69 02 03 010203", "29010000 02000000 03000000 01020300");

    // vector!: element type and unit code in one byte.
    Cell* v32 = keep(Cell{type_none, 0, 0, 0});
    vector_type::make_at(v32, 2, type_integer, 4);
    Cell one = integer(1), minus_one = integer(-1);
    vector_type::append_value(v32, &one);
    vector_type::append_value(v32, &minus_one);
    add("vector integer! 32", v32, "23 2E 02 01000000 FFFFFFFF",
        "23040000 00000000 02000000 0B000000 01000000 FFFFFFFF");
    Cell* v8 = keep(Cell{type_none, 0, 0, 0});
    vector_type::make_at(v8, 2, type_integer, 1);
    vector_type::append_value(v8, &one);
    vector_type::append_value(v8, &minus_one);
    add("vector integer! 8", v8, "23 2C 02 01FF", "23010000 00000000 02000000 0B000000 01FF0000");
    Cell* v64 = keep(Cell{type_none, 0, 0, 0});
    vector_type::make_at(v64, 1, type_float, 8);
    Cell one_and_half = real(1.5);
    vector_type::append_value(v64, &one_and_half);
    add("vector float! 64", v64, "23 33 01 000000000000F83F",
        "23080000 00000000 01000000 0C000000 00000000 0000F83F");

    // bitset!: the stored bytes; complemented ones say so.
    Cell* bits = keep(bitset::make_cell(bitset::make_bytes(2, 0)));
    bitset::process_range(bits->w2, 0, 0, bitset::spec_set);
    bitset::process_range(bits->w2, 9, 9, bitset::spec_set);
    add("bitset", bits, "1E 02 8040", "1E000000 02000000 80400000");
    Cell* complemented = keep(bitset::make_cell(bitset::make_bytes(1, 0)));
    bitset::process_range(complemented->w2, 1, 1, bitset::spec_set);
    bitset::set_complemented(complemented->w2, true);
    add("complemented bitset", complemented, "5E 01 40", "1E008000 01000000 40000000");

    // map!: live pairs, keys as set-words.
    from("#[a 1]", "28 02 1000 81", "28000000 02000000 10000002 00000000 FFFFFFFF 0B000000 01000000");
    Cell* removed = first("#[a 1 b 2]");
    series::cells_mut(removed->w2)[1].header = 0;
    add("#[a 1 b 2] less a", removed, "28 02 1000 82",
        "28000000 02000000 10000002 00000000 FFFFFFFF 0B000000 02000000");

    for (const Case& k : cases) {
        EXPECT_EQ(records(*k.value, true), squeeze(k.compact)) << k.what << " (compact)";
        EXPECT_EQ(records(*k.value, false), squeeze(k.fixed)) << k.what << " (fixed)";
    }
}

// ---- Shared series ----

TEST_F(VumbinEncoderTest, ASeriesMetAgainIsAReferenceToItsFirstPlace) {
    Cell s = *keep(string::from_utf8("abc"));
    Cell* b = B({s, s});
    EXPECT_EQ(records(*b, true), squeeze("05 02 07 0C616263 C1 07 02 0000"));
    EXPECT_EQ(records(*b, false), squeeze("05000000 00000000 02000000 07010000 00000000 03000000 61626300 "
                                          "07010800 00000000 02000000 00000000 00000000"));

    // The head stays the reference's own; the path names the first place,
    // three levels down here.
    Cell inner = s;
    inner.w1 = 1;
    Cell* deep = B({*B({*B({integer(7), s})}), inner});
    EXPECT_EQ(records(*deep, true), squeeze("05 02 05 01 05 02 87 07 0C616263 C1 47 01 04 00000001"));
    EXPECT_EQ(walk(*deep, {0, 0, 0, 1}).w2, s.w2);
}

TEST_F(VumbinEncoderTest, ABlockThatContainsItselfIsWrittenOnce) {
    Cell* b = B({integer(1)});
    block_actions::append_copy(b, b);
    EXPECT_EQ(records(*b, true), squeeze("05 02 81 C1 05 01 00"));
    EXPECT_EQ(records(*b, false), squeeze("05000000 00000000 02000000 0B000000 01000000 "
                                          "05000800 00000000 01000000 00000000"));
}

// Inside a map, indexes count the pairs written: a removed pair takes none.
TEST_F(VumbinEncoderTest, PathsIntoAMapCountItsLivePairs) {
    Cell* m = first("#[a \"x\" b \"y\"]");
    series::cells_mut(m->w2)[1].header = 0;
    Cell y = series::cells_head(m->w2)[3];
    Cell* b = B({*m, y});
    EXPECT_EQ(records(*b, true), squeeze("05 02 28 02 1000 07 04 79 C1 07 03 000001"));
    EXPECT_EQ(walk(*b, {0, 0, 1}).w2, y.w2);
}

// ---- Objects and the words bound to them ----

class VumbinObjectTest : public VumbinEncoderTest {
protected:
    // o: object [a: 1 b: "s"] with a known class id, and the words a and b
    // bound to it.
    void SetUp() override {
        VumbinEncoderTest::SetUp();
        o = object("a: 1 b: \"s\"");
        ctx = cell::context_node(o);
        cell::set_object_class(o, 5);
        cell::set_object_class(context::owner_cell(ctx), 5);
        a = keep(W("a"));
        context::bind_word(ctx, a);
        b = keep(W("b"));
        context::bind_word(ctx, b);
        s = field(o, "b");
    }
    Cell* o = nullptr;
    uint32_t ctx = 0;
    Cell* a = nullptr;
    Cell* b = nullptr;
    Cell s{};
};

// Class id 5, then the context: kind object, values follow (0x12), two
// words, their symbols and values.
constexpr const char* object_record = "20 0A 0E 12 02 0001 81 07 04 73";
constexpr const char* object_fixed =
    "20000000 05000000 0E000048 02000000 00000000 01000000 0B000000 01000000 "
    "07010000 00000000 01000000 73000000";

TEST_F(VumbinObjectTest, AnObjectIsItsClassAndItsContext) {
    EXPECT_EQ(records(*o, true), squeeze(object_record));
    EXPECT_EQ(records(*o, false), squeeze(object_fixed));
    EXPECT_EQ(parts(*o, true).names, (std::vector<std::string>{"a", "b"}));
}

TEST_F(VumbinObjectTest, AWordOfAnObjectWrittenEarlierCostsSymbolSlotAndPath) {
    Cell* block = B({*o, *b});
    EXPECT_EQ(records(*block, true), squeeze((std::string("05 02 ") + object_record + " C1 4F 01 02 02 0000").c_str()));
    EXPECT_EQ(records(*block, false),
              squeeze((std::string("05000000 00000000 02000000 ") + object_fixed +
                        " 0F000800 01000000 01000000 02000000 00000000 00000000")
                           .c_str()));
    EXPECT_EQ(walk(*block, {0, 0}).w1, ctx);
}

// Met first through a word, the object is written inside the word record
// and takes the word's place in paths: its fields lie one step further.
TEST_F(VumbinObjectTest, AnObjectMetFirstThroughAWordIsWrittenInside) {
    Cell* block = B({*a, *b, s});
    EXPECT_EQ(records(*block, true),
              squeeze((std::string("05 03 4F 00 00 ") + object_record + " C1 4F 01 02 02 0000 C1 07 03 000001").c_str()));
    Cell named = walk(*block, {0, 0});
    EXPECT_EQ(cell::word_context(&named), ctx);
    EXPECT_EQ(walk(*block, {0, 0, 1}).w2, s.w2);
}

TEST_F(VumbinObjectTest, AnObjectHoldingItsOwnWordRefersToItself) {
    Cell* self_ref = object("a: 1 b: 'a");
    cell::set_object_class(self_ref, 5);
    EXPECT_EQ(records(*self_ref, true), squeeze("20 0A 0E 12 02 0001 81 C1 4F 00 00 01 00"));
    // Its fields are shared with another value: a reference to them.
    Cell* inner = B({*B({}), *o});
    Cell* outer = B({*inner, *o});
    EXPECT_EQ(records(*outer, true),
              squeeze((std::string("05 02 05 02 05 00 ") + object_record + " C1 20 03 000001").c_str()));
    EXPECT_EQ(walk(*outer, {0, 0, 1}).w1, ctx);
}

// A context! value standing on its own: its values are a level of their
// own.
TEST_F(VumbinObjectTest, AContextMetOnItsOwnHoldsItsValuesOneLevelDown) {
    Cell* block = B({*context::context_cell(ctx), s});
    EXPECT_EQ(records(*block, true), squeeze("05 02 0E 12 02 0001 81 07 04 73 C1 07 03 000001"));
    EXPECT_EQ(records(*context::context_cell(ctx), false),
              squeeze("0E000048 02000000 00000000 01000000 0B000000 01000000 "
                      "07010000 00000000 01000000 73000000"));
}

TEST_F(VumbinObjectTest, ChangeHandlersGoWithTheObject) {
    Cell* watched = keep(*o);
    Cell* record = B({Cell{type_pair, 0, 0x0003FFFFu, 0}, Cell{type_pair, 0, 0xFFFF0000u, 0}});
    watched->w3 = record->w2;
    // S set, then the two handler words as signed varints.
    EXPECT_EQ(records(*watched, true).substr(0, 18), squeeze("60 0A FEFF1F FFFF07 0E"));
    EXPECT_EQ(records(*watched, false).substr(0, 40), squeeze("20000001 05000000 FFFF0300 0000FFFF 0E000048"));
}

TEST_F(VumbinObjectTest, WordsOfOtherContextsAreWrittenAsGlobal) {
    // A context made without an owner, and a word of an error's context.
    uint32_t loose = context::make(1, false, false, 0, context::kind_global);
    gc::ProtectNode keep_loose(&loose);
    context::add_word(loose, symbols::make("x"));
    Cell* x = keep(W("x"));
    context::bind_word(loose, x);
    Cell* e = keep(Cell{type_none, 0, 0, 0});
    error::create(errors::category_script, err::script::invalid_arg.index, nullptr, nullptr, nullptr, e);
    Cell* code = keep(W("code"));
    context::bind_word(cell::context_node(e), code);
    ASSERT_EQ(cell::word_context(code), cell::context_node(e));
    EXPECT_EQ(records(*B({*x, *code}), true), squeeze("05 02 0F00 0F01"));
    EXPECT_EQ(records(*x, false), squeeze("0F000002 00000000 FFFFFFFF"));
}

// ---- The boot image ----

// Each value of the roots block is a record of the top level, behind the
// boot version byte and the root count; the boot load gives them back as
// root cells. A word of an object has no form there but by root index,
// which the image does not use: it is refused.
TEST_F(VumbinObjectTest, TheBootImageWritesEachRootValueAsATopLevelRecord) {
    stack::Mark mark;
    Cell* roots = B({integer(5), *first("[a b]"), *o});
    Cell* image = stack::push_cell();
    vumbin::encode_boot_image(roots, image);
    std::string bytes = binary::to_bytes(image);
    // Version 1, compact with symbols, three roots in 18 bytes of records,
    // which follow the symbol table (a and b, from the block; the object
    // reuses them).
    EXPECT_EQ(hex(bytes.substr(0, 10)), squeeze("56554D42494E 01 05 03 12"));
    EXPECT_EQ(tail(hex(bytes), "85 05 02 0F00 0F01 20 0A 0E 12 02 0001 81 07 04 73"),
              squeeze((std::string("85 05 02 0F00 0F01 ") + object_record).c_str()));

    int32_t base = vumbin::load_boot_image(reinterpret_cast<const uint8_t*>(bytes.data()), false,
                                           int64_t(bytes.size()));
    vumbin::set_mode(vumbin::Mode::saved);
    ASSERT_EQ(series::length_from_head(&gc::roots.root_block), base + 3);
    // Copied out: molding allocates, and the root block may move.
    Cell decoded[3];
    std::memcpy(decoded, series::cells_head(gc::roots.root_block.w2) + base, sizeof decoded);
    gc::Protect keep_decoded(decoded, 3);
    EXPECT_EQ(mold(decoded[0]), "5");
    EXPECT_EQ(mold(decoded[1]), "[a b]");
    EXPECT_EQ(cell::object_class(&decoded[2]), 5u);
    EXPECT_EQ(mold(decoded[2]), mold(*o));

    Cell e = caught([&] { vumbin::encode_boot_image(B({integer(1), *a}), image); });
    EXPECT_EQ(error_id(e), "invalid-arg");
    EXPECT_EQ(mold(*error::field(&e, error::field_arg1)), "a");
}

// ---- Functions, natives, operators, errors ----

TEST_F(VumbinEncoderTest, AFunctionIsItsContextSpecAndBody) {
    Cell* f = function("[a]", "[a]");
    // Spec and body lengths; a stack context of kind function (0x05) without
    // values; the spec's global word; the body's word bound to the
    // function refers to it.
    EXPECT_EQ(records(*f, true), squeeze("18 01 01 0E 05 01 00 05 01 0F00 05 01 C1 4F 00 00 01 00"));
    EXPECT_EQ(records(*f, false),
              squeeze("18000000 01000000 01000000 0E000024 01000000 00000000 "
                      "05000000 00000000 01000000 0F000002 00000000 FFFFFFFF "
                      "05000000 00000000 01000000 0F000800 00000000 00000000 01000000 00000000"));
    // Paths into a function: 0 its spec, 1 its body.
    Cell body = series::cells_head(cell::function_info(f))[function::info_body];
    Cell* b = B({*f, body});
    EXPECT_EQ(tail(records(*b, true), "C1 05 03 000001"), squeeze("C1 05 03 000001"));
    EXPECT_EQ(walk(*b, {0, 0, 1}).w2, body.w2);

    // An operator over it writes the function, here as a reference.
    Cell op = *f;
    op.header = type_op | uint32_t(type_function) << cell::op_source_shift;
    Cell* with_op = B({*f, op});
    EXPECT_EQ(tail(records(*with_op, true), "17 C1 18 02 0000"), squeeze("17 C1 18 02 0000"));
}

TEST_F(VumbinEncoderTest, NativesAndActionsAreTheirPositionAndSpec) {
    define("plus", "make-native [[a [integer!] b] 1]");
    Cell w = context::load_word("plus");
    Cell* native = keep(*context::get_word_value(&w));
    ASSERT_EQ(cell::type(native), type_native);
    const char* native_record = "15 01 05 03 0F00 05 01 0F01 0F02";
    EXPECT_EQ(records(*native, true), squeeze(native_record));
    EXPECT_EQ(records(*native, false),
              squeeze("15000000 01000000 05000000 00000000 03000000 0F000002 00000000 FFFFFFFF "
                      "05000000 00000000 01000000 0F000002 01000000 FFFFFFFF 0F000002 02000000 FFFFFFFF"));

    // The native counts once: its spec's cells are the next step of a path.
    Cell types = series::cells_head(native->w2)[1];
    Cell* b = B({*native, types});
    EXPECT_EQ(records(*b, true), squeeze((std::string("05 02 ") + native_record + " C1 05 03 000001").c_str()));
    EXPECT_EQ(walk(*b, {0, 0, 1}).w2, types.w2);

    // An operator over a native writes the native again, spec and all.
    Cell op = *native;
    op.header = type_op | uint32_t(type_native) << cell::op_source_shift;
    EXPECT_EQ(records(op, true), squeeze((std::string("17 ") + native_record).c_str()));

    Cell action = {type_action, 62, native->w2, native->w3};
    EXPECT_EQ(records(action, true), squeeze("16 3E 05 03 0F00 05 01 0F01 0F02"));
}

TEST_F(VumbinEncoderTest, AnErrorIsItsCodeAndSixFields) {
    Cell s = *keep(string::from_utf8("x"));
    Cell* e = keep(Cell{type_none, 0, 0, 0});
    error::create(errors::category_script, err::script::invalid_arg.index, &s, nullptr, nullptr, e);
    int32_t code = cell::get_integer(error::field(e, error::field_code));
    ASSERT_EQ(code, 300 + err::script::invalid_arg.index - 2);  // script errors count from 300
    // Code 309 as a varint; arg1, none, none, then near, where and stack
    // (none in a new error); the string again by its place as arg1.
    Cell* b = B({*e, s});
    EXPECT_EQ(records(*b, true), squeeze("05 02 22 B502 07 04 78 03 03 03 03 03 C1 07 03 000000"));
    EXPECT_EQ(records(*e, false), squeeze("22000000 35010000 07010000 00000000 01000000 78000000 "
                                          "03000000 03000000 03000000 03000000 03000000"));
    EXPECT_EQ(walk(*b, {0, 0, 0}).w2, s.w2);
}

// ---- Refusals and limits ----

TEST_F(VumbinEncoderTest, ValuesWithoutASerialisedFormAreRefusedWhenMet) {
    const uint8_t refused[] = {type_routine, type_triple, type_handle, type_port, type_event};
    for (uint8_t t : refused) {
        for (bool compact : {true, false}) {
            Cell* b = B({integer(1), Cell{t, 0, 0, 0}});
            Cell e = caught([&] { encode(*b, compact); });
            EXPECT_EQ(error_id(e), "no-codec") << int(t);
            Cell* arg = error::field(&e, error::field_arg1);
            EXPECT_EQ(cell::type(arg), type_datatype);
            EXPECT_EQ(cell::datatype_id(arg), t);
        }
    }
    // An operator over a routine names the routine.
    Cell op = {type_op | uint32_t(type_routine) << cell::op_source_shift, 0, 0, 0};
    Cell e = caught([&] { encode(op, true); });
    EXPECT_EQ(error_id(e), "no-codec");
    EXPECT_EQ(cell::datatype_id(error::field(&e, error::field_arg1)), type_routine);

    // The encoder is ready for the next value afterwards.
    EXPECT_EQ(file_hex(integer(5), true), "56554D42494E0201010185");
}

// A path holds at most 65,536 indexes: deeper series could not be named.
TEST_F(VumbinEncoderTest, NestingDeeperThanAPathCanNameIsTooDeep) {
    struct Run {
        const Cell* value;
        std::string outcome;
    };
    auto nest = [](int32_t depth) {
        int32_t saved = gc::state.enabled;
        gc::state.enabled = 0;  // the chain is built, not collected
        gc::Local chain({type_none, 0, 0, 0});
        block_actions::make_at(&chain, 0);
        for (int32_t i = 1; i < depth; i++) {
            gc::Local outer({type_none, 0, 0, 0});
            block_actions::make_at(&outer, 1);
            block_actions::append_copy(&outer, &chain);
            chain = outer;
        }
        gc::state.enabled = saved;
        return Cell(chain);
    };
    for (int32_t depth : {65535, 65536}) {
        Run run{keep(nest(depth)), ""};
        platform::run_on_large_stack(
            platform::runtime_stack_size,
            [](void* p) {
                auto* r = static_cast<Run*>(p);
                Cell e = caught([&] { r->outcome = std::to_string(encode(*r->value, true).size()); });
                if (cell::type(&e) == type_error) r->outcome = error_id(e);
            },
            &run);
        if (depth == 65535)
            EXPECT_NE(run.outcome, "too-deep");
        else
            EXPECT_EQ(run.outcome, "too-deep");
    }
}

}  // namespace
