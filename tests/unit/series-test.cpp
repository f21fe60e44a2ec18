#include "datatypes/series.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "memory/unicode.h"

using namespace vum;

namespace {

// The datatype fixture with a few value makers.
class SeriesFixture : public DatatypeTest {
protected:
    static Cell word(const char* text) { return {type_word, 0, uint32_t(symbols::make(text)), uint32_t(-1)}; }

    // A block of the cells given, at the head index.
    static Cell block(std::initializer_list<Cell> cells, uint32_t index = 0, uint8_t type = type_block) {
        uint32_t node = memory::alloc_cells(int32_t(cells.size()) + 1);
        gc::ProtectNode keep(&node);
        for (const Cell& c : cells) *series::alloc_tail_cell(node) = c;
        return {type, index, node, 0};
    }
    // A block of words, from the words of the text.
    static Cell words(const std::string& text, uint32_t index = 0) {
        gc::Local b(block({}, index));
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find(' ', at);
            if (end == std::string::npos) end = text.size();
            Cell w = word(text.substr(at, end - at).c_str());
            *series::alloc_tail_cell(b.w2) = w;
            at = end + 1;
        }
        return b;
    }
    static Cell integers(std::initializer_list<int32_t> values) {
        gc::Local b(block({}));
        for (int32_t v : values) *series::alloc_tail_cell(b.w2) = integer(v);
        return b;
    }

    // The elements from the head, as text: words and integers separated by
    // spaces, or the characters of a string.
    static std::string contents(const Cell& series) {
        uint8_t t = cell::type(&series);
        if (t == type_string) return string::to_utf8(&series);
        std::string out;
        SeriesBuffer* b = nodes::buffer(series.w2);
        auto* cells = reinterpret_cast<const Cell*>(b->head_ptr());
        for (uint32_t i = series.w1; i < b->count(); i++) {
            if (!out.empty()) out += ' ';
            if (cell::type(cells + i) == type_integer)
                out += std::to_string(cell::get_integer(cells + i));
            else if (cell::type(cells + i) == type_word)
                out += symbols::text(int32_t(cells[i].w2));
            else
                out += "?";
        }
        return out;
    }
    static int32_t length(const Cell& series) { return int32_t(nodes::buffer(series.w2)->count()); }

    // Runs a frame action (at, skip, next ...) with the series and argument
    // in the frame; answers what it left in the frame's first cell.
    static Cell frame_action(actions::SlotOf<actions::FrameFn> slot, const Cell& series,
                             const Cell* argument = nullptr) {
        Cell w = context::load_word("action");
        // Restored by hand, not by a stack::Mark: an error must leave its
        // value on the stack for the try frame.
        Cell* top = stack::s.args_top;
        Cell* args = stack::s.args;
        stack::Frame* calls = stack::s.calls_top;
        stack::push_native_frame(&w);
        *stack::push_cell() = series;
        *stack::push_cell() = argument ? *argument : core_types::none_cell;
        actions::lookup(stack::arg(0), slot)();
        Cell out = *stack::arg(0);
        stack::s.args_top = top;
        stack::s.args = args;
        stack::s.calls_top = calls;
        return out;
    }

    static std::string symbol_of(const Cell* c) { return symbols::text(int32_t(c->w2)); }
};

using Series = SeriesFixture;
using namespace actions;

TEST_F(Series, PositionsStayWithinTheSeries) {
    struct Case {
        actions::SlotOf<actions::FrameFn> slot;
        uint32_t from;
        int32_t argument;
        uint32_t expected;
    } cases[] = {
        {slot_at, 1, 0, 1},    {slot_at, 1, 1, 1},     {slot_at, 1, 2, 2},   {slot_at, 1, -1, 0},
        {slot_at, 0, 99, 3},   {slot_at, 2, -99, 0},   {slot_skip, 0, 2, 2}, {slot_skip, 1, 0, 1},
        {slot_skip, 0, 9, 3},  {slot_skip, 0, -1, 0},  {slot_back, 0, 0, 0}, {slot_back, 2, 0, 1},
        {slot_next, 3, 0, 3},  {slot_next, 1, 0, 2},   {slot_head, 2, 0, 0}, {slot_tail, 1, 0, 3},
        {slot_at, 0, INT32_MAX, 3}, {slot_skip, 3, INT32_MIN, 0},
    };
    gc::Local abc(words("a b c"));
    for (const Case& c : cases) {
        Cell s = abc;
        s.w1 = c.from;
        Cell n = integer(c.argument);
        Cell out = frame_action(c.slot, s, &n);
        EXPECT_EQ(out.w1, c.expected) << "slot " << c.slot << " from " << c.from << " by " << c.argument;
        EXPECT_EQ(cell::type(&out), type_block);
    }

    // index? at next [a b c] 0 is 2.
    Cell s = frame_action(slot_next, abc);
    Cell zero = integer(0);
    s = frame_action(slot_at, s, &zero);
    Cell index = frame_action(slot_index_q, s);
    EXPECT_EQ(cell::type(&index), type_integer);
    EXPECT_EQ(cell::get_integer(&index), 2);

    Cell at_tail = abc;
    at_tail.w1 = 3;
    EXPECT_EQ(frame_action(slot_tail_q, at_tail).w1, 1u);
    EXPECT_EQ(frame_action(slot_head_q, at_tail).w1, 0u);
    EXPECT_EQ(frame_action(slot_head_q, abc).w1, 1u);
    EXPECT_EQ(frame_action(slot_tail_q, abc).w1, 0u);

    Cell not_integer = word("x");
    Cell e = caught([&] { frame_action(slot_at, abc, &not_integer); });
    EXPECT_EQ(error_id(e), "invalid-arg");
    e = caught([&] { frame_action(slot_skip, abc, &not_integer); });
    EXPECT_EQ(error_id(e), "invalid-arg");
}

TEST_F(Series, LengthClipsAHeadPastAShortenedTail) {
    gc::Local abc(words("a b c", 1));
    LengthFn length_q = lookup<slot_length_q>(&abc);
    EXPECT_EQ(length_q(&abc), 2);
    Cell far = abc;
    far.w1 = 3;
    // Another reference shortens the series to one element.
    Cell other = abc;
    other.w1 = 1;
    lookup<slot_clear>(&other)(&other, &other);
    EXPECT_EQ(length(abc), 1);
    EXPECT_EQ(length_q(&far), 0);
    EXPECT_EQ(far.w1, 1u);  // moved to the tail
    EXPECT_TRUE(series_actions::at_tail(&far));
    EXPECT_EQ(series_actions::length_or_zero(&abc, true), 1);
}

TEST_F(Series, PickAndPokeByPosition) {
    Cell abc = words("a b c", 1);  // at b
    gc::Protect keep(&abc);
    auto pick = [&](int32_t n) {
        Cell out;
        Cell index = integer(n);
        lookup<slot_pick>(&abc)(&abc, &index, n, &out);
        return cell::type(&out) == type_none ? std::string("none") : symbol_of(&out);
    };
    EXPECT_EQ(pick(0), "none");
    EXPECT_EQ(pick(1), "b");
    EXPECT_EQ(pick(2), "c");
    EXPECT_EQ(pick(3), "none");
    EXPECT_EQ(pick(-1), "a");
    EXPECT_EQ(pick(-2), "none");

    Cell x = word("x");
    for (int32_t n : {0, 3, -2, INT32_MIN}) {
        Cell index = integer(n);
        Cell out;
        Cell e = caught([&] { lookup<slot_poke>(&abc)(&abc, &index, &x, n, &out); });
        EXPECT_EQ(error_id(e), "out-of-range") << n;
        EXPECT_EQ(cell::get_integer(error::field(&e, error::field_arg1)), n);
    }
    EXPECT_EQ(contents(words("a b c")), "a b c");
    Cell index = integer(-1);
    Cell out;
    lookup<slot_poke>(&abc)(&abc, &index, &x, -1, &out);
    EXPECT_EQ(symbol_of(&out), "x");  // poke answers the value
    Cell whole = abc;
    whole.w1 = 0;
    EXPECT_EQ(contents(whole), "x b c");
}

TEST_F(Series, TextAndBytesArePickedAndPokedAsValues) {
    gc::Local s(string::from_utf8("abc"));
    Cell out, index = integer(2);
    series_actions::pick(&s, &index, 2, &out);
    EXPECT_EQ(cell::type(&out), type_char);
    EXPECT_EQ(out.w2, uint32_t('b'));

    // A code point wider than the buffer's unit widens it first.
    Cell euro = {type_char, 0, 0x20AC, 0};
    series_actions::poke(&s, &index, &euro, 2, &out);
    EXPECT_EQ(contents(s), "a\u20ACc");
    EXPECT_EQ(nodes::buffer(s.w2)->unit(), 2u);
    Cell not_char = integer(65);
    EXPECT_EQ(error_id(caught([&] { series_actions::poke(&s, &index, &not_char, 2, &out); })), "invalid-arg");

    gc::Local bytes({type_binary, 0, memory::alloc_bytes(4), 0});
    uint8_t* at = series::alloc_tail_bytes(bytes.w2, 2);
    at[0] = 7;
    at[1] = 200;
    series_actions::pick(&bytes, &index, 2, &out);
    EXPECT_EQ(cell::type(&out), type_integer);
    EXPECT_EQ(cell::get_integer(&out), 200);
    Cell too_big = integer(256), byte = integer(255);
    EXPECT_EQ(error_id(caught([&] { series_actions::poke(&bytes, &index, &too_big, 2, &out); })), "out-of-range");
    series_actions::poke(&bytes, &index, &byte, 2, &out);
    EXPECT_EQ(nodes::buffer(bytes.w2)->head_ptr()[1], 255);
}

TEST_F(Series, RemoveByCountPositionAndKey) {
    struct Case {
        uint32_t from;
        int32_t part;  // INT32_MIN: no /part
        const char* left;
    } cases[] = {
        {0, INT32_MIN, "b c d"}, {1, 2, "a d"}, {0, 0, "a b c d"}, {1, -1, "a b c d"},
        {2, 9, "a b"},           {4, 1, "a b c d"},
    };
    for (const Case& c : cases) {
        gc::Local s(words("a b c d", c.from));
        Cell part = integer(c.part), out;
        lookup<slot_remove>(&s)(&s, c.part == INT32_MIN ? nullptr : &part, nullptr, &out);
        Cell whole = s;
        whole.w1 = 0;
        EXPECT_EQ(contents(whole), c.left) << c.from << " " << c.part;
        EXPECT_EQ(out.w1, c.from);
    }

    gc::Local s(words("a b c d"));
    Cell upto = s, out;
    upto.w1 = 2;
    series_actions::remove(&s, &upto, nullptr, &out);  // a position in the same series
    EXPECT_EQ(contents(s), "c d");
    Cell other = words("c d");
    Cell e = caught([&] { series_actions::remove(&s, &other, nullptr, &out); });
    EXPECT_EQ(error_id(e), "invalid-refine-arg");
    EXPECT_EQ(contents(s), "c d");

    gc::Local keyed(words("a 1 b 2"));
    Cell missing = word("z"), present = word("a");
    series_actions::remove(&keyed, nullptr, &missing, &out);
    EXPECT_EQ(cell::type(&out), type_none);
    series_actions::remove(&keyed, nullptr, &present, &out);
    EXPECT_EQ(contents(keyed), "b 2");  // the key and its value
}

TEST_F(Series, TakeFromTheHeadTheTailAndBeforeTheHead) {
    struct Case {
        uint32_t from;
        int32_t part;  // INT32_MIN: no /part
        bool last;
        const char* taken;
        const char* left;
    } cases[] = {
        {0, INT32_MIN, false, "a", "b c d"}, {0, INT32_MIN, true, "d", "a b c"},
        {0, 2, false, "a b", "c d"},         {1, 9, false, "b c d", "a"},
        {0, 2, true, "c d", "a b"},          {2, -2, false, "a b", "c d"},
        {3, -9, false, "a b c", "d"},        {1, 0, false, "a", "b c d"},
        {2, -2, true, "", "a b c d"},        {0, -1, false, "", "a b c d"},
    };
    for (const Case& c : cases) {
        gc::Local s(words("a b c d", c.from));
        Cell part = integer(c.part), out;
        series_actions::take(&s, c.part == INT32_MIN ? nullptr : &part, false, c.last, &out);
        Cell whole = s;
        whole.w1 = 0;
        EXPECT_EQ(cell::type(&out), type_block);
        EXPECT_EQ(contents(out), c.taken) << c.from << " " << c.part << " " << c.last;
        EXPECT_EQ(contents(whole), c.left) << c.from << " " << c.part << " " << c.last;
    }

    Cell empty = words("");
    Cell out;
    series_actions::take(&empty, nullptr, false, false, &out);
    EXPECT_EQ(cell::type(&out), type_none);

    // A position in the same series counts to it, from the head or the tail.
    gc::Local s(words("a b c d", 1));
    Cell upto = s;
    upto.w1 = 3;
    series_actions::take(&s, &upto, false, true, &out);
    EXPECT_EQ(contents(out), "d");
    Cell other = words("a");
    EXPECT_EQ(error_id(caught([&] { series_actions::take(&s, &other, false, false, &out); })), "invalid-refine-arg");

    // Two takes never share their results.
    gc::Local t(words("p q"));
    Cell first, second;
    gc::Protect keep_first(&first);
    series_actions::take(&t, nullptr, false, false, &first);
    series_actions::take(&t, nullptr, false, false, &second);
    EXPECT_EQ(contents(first), "p");
    EXPECT_EQ(contents(second), "q");
}

TEST_F(Series, ReverseWholeRunsAndRecords) {
    struct Case {
        uint32_t from;
        int32_t part, skip;  // INT32_MIN: not given
        const char* result;
        const char* error;
    } cases[] = {
        {0, INT32_MIN, INT32_MIN, "6 5 4 3 2 1", nullptr},
        {1, 3, INT32_MIN, "1 4 3 2 5 6", nullptr},
        {0, INT32_MIN, 2, "5 6 3 4 1 2", nullptr},
        {0, 4, 2, "3 4 1 2 5 6", nullptr},
        {0, 4, 4, "1 2 3 4 5 6", nullptr},  // one record: unchanged
        {0, INT32_MIN, 4, "1 2 3 4 5 6", "invalid-refine-arg"},
        {0, 2, 3, "1 2 3 4 5 6", "invalid-refine-arg"},
        {0, INT32_MIN, 0, "1 2 3 4 5 6", "out-of-range"},
        {6, INT32_MIN, INT32_MIN, "1 2 3 4 5 6", nullptr},
        {0, 0, INT32_MIN, "1 2 3 4 5 6", nullptr},
        {4, 9, INT32_MIN, "1 2 3 4 6 5", nullptr},
    };
    for (const Case& c : cases) {
        Cell s = integers({1, 2, 3, 4, 5, 6});
        s.w1 = c.from;
        gc::Protect keep(&s);
        Cell part = integer(c.part), skip = integer(c.skip), out;
        Cell e = caught([&] {
            lookup<slot_reverse>(&s)(&s, c.part == INT32_MIN ? nullptr : &part,
                                     c.skip == INT32_MIN ? nullptr : &skip, &out);
        });
        Cell whole = s;
        whole.w1 = 0;
        EXPECT_EQ(error_id(e), c.error ? c.error : "") << c.from << " " << c.part << " " << c.skip;
        EXPECT_EQ(contents(whole), c.result) << c.from << " " << c.part << " " << c.skip;
    }
    gc::Local s(integers({1, 2}));
    Cell not_integer = word("x"), out;
    EXPECT_EQ(error_id(caught([&] { lookup<slot_reverse>(&s)(&s, nullptr, &not_integer, &out); })),
              "invalid-refine-arg");
}

TEST_F(Series, CopyCountsFromTheHead) {
    struct Case {
        uint32_t from;
        int32_t part;  // INT32_MIN: no /part
        const char* copied;
    } cases[] = {
        {1, INT32_MIN, "b c d"}, {1, 2, "b c"}, {1, -1, "a"}, {2, -9, "a b"},
        {1, 99, "b c d"},        {4, 2, ""},    {9, INT32_MIN, ""}, {0, 0, ""},
    };
    for (const Case& c : cases) {
        gc::Local s(words("a b c d", c.from));
        Cell part = integer(c.part), out;
        series_actions::copy(&s, &out, c.part == INT32_MIN ? nullptr : &part, false, nullptr);
        EXPECT_EQ(out.w1, 0u);
        EXPECT_NE(out.w2, s.w2);
        EXPECT_EQ(contents(out), c.copied) << c.from << " " << c.part;
    }
    gc::Local s(words("a b c d", 1));
    s.header |= cell::flag_new_line;
    Cell upto = s, out;
    upto.w1 = 3;
    series_actions::copy(&s, &out, &upto, false, nullptr);
    EXPECT_EQ(contents(out), "b c");
    EXPECT_TRUE(cell::has_new_line(&out));
    EXPECT_EQ(cell::type(&out), type_block);
    Cell other = words("a");
    EXPECT_EQ(error_id(caught([&] { series_actions::copy(&s, &out, &other, false, nullptr); })), "invalid-refine-arg");
}

TEST_F(Series, MoveWithinOneBlockAndBetweenSeries) {
    struct Case {
        uint32_t origin, target;
        int32_t part;
        const char* result;
    } cases[] = {
        {0, 2, 1, "b c a d e"},  // forwards: after the target element
        {0, 5, 1, "b c d e a"},  // to the tail
        {3, 1, 1, "a d b c e"},  // backwards: before it
        {0, 3, 2, "c d a b e"},
        {3, 0, 2, "d e a b c"},
        {2, 2, 1, "a b c d e"},
        {1, 4, 3, "a b c d e"},  // too few elements after the target
        {5, 0, 1, "a b c d e"},  // origin at its tail
        {0, 3, 0, "a b c d e"},
    };
    for (const Case& c : cases) {
        gc::Local origin(words("a b c d e", c.origin));
        Cell target = origin;
        target.w1 = c.target;
        Cell part = integer(c.part), out;
        lookup<slot_move>(&origin)(&origin, &target, &part, &out);
        Cell whole = origin;
        whole.w1 = 0;
        EXPECT_EQ(contents(whole), c.result) << c.origin << " -> " << c.target << " x" << c.part;
    }

    gc::Local origin(words("a b c"));
    gc::Local target(words("x y", 1));
    Cell out, two = integer(2);
    series_actions::remove(&origin, nullptr, nullptr, &out);  // origin: b c
    lookup<slot_move>(&origin)(&origin, &target, &two, &out);
    EXPECT_EQ(contents(origin), "");
    Cell whole = target;
    whole.w1 = 0;
    EXPECT_EQ(contents(whole), "x b c y");
    EXPECT_EQ(out.w2, target.w2);

    // Text into text widens the target when the origin's unit is wider.
    gc::Local text(string::from_utf8("\u20ACz"));
    gc::Local narrow(string::from_utf8("ab"));
    // string! has no row yet: series!'s own handler.
    actions::handler<slot_move>(type_series)(&text, &narrow, nullptr, &out);
    EXPECT_EQ(contents(narrow), "\u20ACab");
    EXPECT_EQ(contents(text), "z");

    Cell e = caught([&] { lookup<slot_move>(&target)(&target, &narrow, nullptr, &out); });
    EXPECT_EQ(error_id(e), "move-bad");
    EXPECT_EQ(error::field(&e, error::field_arg1)->w1, uint32_t(type_block));
    EXPECT_EQ(error::field(&e, error::field_arg2)->w1, uint32_t(type_string));
    Cell not_series = integer(1);
    e = caught([&] { lookup<slot_move>(&target)(&target, &not_series, nullptr, &out); });
    EXPECT_EQ(error_id(e), "expect-arg");
    EXPECT_EQ(contents(whole), "x b c y");
}

TEST_F(Series, ClearCutsAtTheHead) {
    gc::Local s(words("a b c", 1));
    Cell out;
    lookup<slot_clear>(&s)(&s, &out);
    EXPECT_EQ(length(s), 1);
    EXPECT_EQ(out.w1, 1u);
    lookup<slot_clear>(&s)(&s, &out);  // at the tail: nothing
    EXPECT_EQ(length(s), 1);
}

TEST_F(Series, RandomShufflesInPlaceAndPicksFromTheHead) {
    gc::Local s(integers({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    s.w1 = 2;
    Cell out;
    lookup<slot_random>(&s)(&s, false, false, false, &out);
    EXPECT_EQ(out.w2, s.w2);
    Cell whole = s;
    whole.w1 = 0;
    std::string shuffled = contents(whole);
    EXPECT_EQ(shuffled.substr(0, 4), "1 2 ");  // before the head: untouched
    std::vector<int32_t> values;
    for (int32_t i = 0; i < 12; i++) values.push_back(cell::get_integer(series::cells_head(s.w2) + i));
    std::sort(values.begin(), values.end());
    for (int32_t i = 0; i < 12; i++) EXPECT_EQ(values[size_t(i)], i + 1);

    for (int32_t round = 0; round < 20; round++) {
        lookup<slot_random>(&s)(&s, false, false, true, &out);
        ASSERT_EQ(cell::type(&out), type_integer);
        int32_t v = cell::get_integer(&out);
        EXPECT_TRUE(v >= 3 && v <= 12) << v;
    }
    Cell at_tail = s;
    at_tail.w1 = 12;
    lookup<slot_random>(&at_tail)(&at_tail, false, false, true, &out);
    EXPECT_EQ(cell::type(&out), type_none);
    lookup<slot_random>(&s)(&s, true, false, false, &out);
    EXPECT_EQ(cell::type(&out), type_unset);

    for (uint32_t n : {1u, 2u, 7u}) {
        for (int32_t round = 0; round < 50; round++) {
            uint32_t k = series_actions::random_in_range(n, false);
            EXPECT_TRUE(k >= 1 && k <= n);
        }
    }
}

// The reports an owner's on-deep-change* handler heard, with the series'
// contents at each.
struct Heard {
    std::string action;
    int32_t index, part;
    std::string contents;
};
std::vector<Heard> heard;
std::function<std::string(const Cell*)> describe;

void record_change(const Cell*, const Cell*, const Cell* target, const Cell* action, const Cell*, int32_t index,
                   int32_t part) {
    heard.push_back({symbols::text(int32_t(action->w2)), index, part, describe(target)});
}

class SeriesReports : public SeriesFixture {
protected:
    Cell owner{};
    void SetUp() override {
        SeriesFixture::SetUp();
        uint32_t ctx = context::make(1, false, true, 0, context::kind_object);
        gc::ProtectNode keep(&ctx);
        Cell none = core_types::none_cell;
        context::put_word_value(ctx, symbols::make("data"), &none);
        owner = {type_object, ctx, 1, 0};
        gc::Protect keep_owner(&owner);
        owner.w3 = memory::alloc_bytes(16);  // its change record
        Cell w = context::load_word("owner");
        context::set_word_value(&w, &owner);  // keeps it alive
        heard.clear();
        describe = [](const Cell* t) {
            Cell whole = *t;
            whole.w1 = 0;
            return contents(whole);
        };
        services::current.deep_change_handler = record_change;
    }
    void TearDown() override {
        partial_services::fill();
        SeriesFixture::TearDown();
    }
    void own(Cell* series) {
        Cell w = word("data");
        ownership::bind(series, &owner, &w);
    }
};

TEST_F(SeriesReports, EveryChangeIsReportedBeforeAndAfter) {
    struct Case {
        const char* name;
        std::function<void(Cell*)> change;
        const char* before;
        const char* after;
        int32_t index, part, after_part;
        const char* result;
    } cases[] = {
        {"poke", [](Cell* s) { Cell v = word("x"), i = integer(2), o; series_actions::poke(s, &i, &v, 2, &o); },
         "poke", "poked", 1, 1, 1, "a x c d"},
        {"remove", [](Cell* s) { Cell p = integer(2), o; series_actions::remove(s, &p, nullptr, &o); },
         "remove", "removed", 0, 2, 0, "c d"},
        {"clear", [](Cell* s) { Cell o; s->w1 = 1; lookup<slot_clear>(s)(s, &o); },
         "clear", "cleared", 1, 3, 0, "a"},
        {"reverse", [](Cell* s) { Cell o; lookup<slot_reverse>(s)(s, nullptr, nullptr, &o); },
         "reverse", "reversed", 0, 4, 4, "d c b a"},
        {"take", [](Cell* s) { Cell o; series_actions::take(s, nullptr, false, true, &o); },
         "take", "taken", 3, 1, 1, "a b c"},
        {"random", [](Cell* s) { Cell o; s->w1 = 3; lookup<slot_random>(s)(s, false, false, false, &o); },
         "random", "randomized", 3, 1, 1, "a b c d"},
        {"move", [](Cell* s) { Cell t = *s, o; t.w1 = 4; lookup<slot_move>(s)(s, &t, nullptr, &o); },
         "move", "moved", 0, 1, 1, "b c d a"},
    };
    for (const Case& c : cases) {
        gc::Local s(words("a b c d"));
        own(&s);
        heard.clear();
        c.change(&s);
        ASSERT_EQ(heard.size(), 2u) << c.name;
        EXPECT_EQ(heard[0].action, c.before);
        EXPECT_EQ(heard[1].action, c.after);
        EXPECT_EQ(heard[0].contents, "a b c d") << c.name;  // before the change
        EXPECT_EQ(heard[1].contents, c.result) << c.name;   // after it
        EXPECT_EQ(heard[0].index, c.index) << c.name;
        EXPECT_EQ(heard[0].part, c.part) << c.name;
        EXPECT_EQ(heard[1].part, c.after_part) << c.name;
    }

    // Unowned series and refused changes are not reported.
    gc::Local loose(words("a b"));
    heard.clear();
    Cell o;
    series_actions::take(&loose, nullptr, false, false, &o);
    EXPECT_TRUE(heard.empty());
    gc::Local owned(words("a b"));
    own(&owned);
    Cell zero = integer(0), v = word("v");
    caught([&] { series_actions::poke(&owned, &zero, &v, 0, &o); });
    EXPECT_TRUE(heard.empty());
}

TEST_F(SeriesReports, OwnershipIsReflectedAndModified) {
    gc::Local s(words("a b"));
    int32_t owned = runtime_symbols::id(runtime_symbols::sym_owned);
    Cell out;
    lookup<slot_reflect>(&s)(&s, owned, &out);
    EXPECT_EQ(cell::type(&out), type_none);

    gc::Local spec(block({owner, word("data")}));
    Cell field = word("owned");
    lookup<slot_modify>(&s)(&s, &field, &spec, false, &out);
    EXPECT_EQ(out.w2, spec.w2);
    lookup<slot_reflect>(&s)(&s, owned, &out);
    EXPECT_EQ(cell::type(&out), type_object);
    EXPECT_EQ(out.w1, owner.w1);

    Cell none = core_types::none_cell;
    lookup<slot_modify>(&s)(&s, &field, &none, false, &out);
    lookup<slot_reflect>(&s)(&s, owned, &out);
    EXPECT_EQ(cell::type(&out), type_none);

    Cell e = caught([&] { lookup<slot_reflect>(&s)(&s, symbols::make("body"), &out); });
    EXPECT_EQ(error_id(e), "not-done");
    Cell short_spec = block({owner});
    e = caught([&] { lookup<slot_modify>(&s)(&s, &field, &short_spec, false, &out); });
    EXPECT_EQ(error_id(e), "invalid-arg");
}

TEST_F(Series, SurvivesCollectionsBetweenSteps) {
    // Garbage between the steps: every buffer the actions hold moves.
    gc::state.enabled = 1;
    gc::Local s(integers({1, 2, 3, 4, 5, 6, 7, 8}));
    for (int32_t round = 0; round < 20; round++) {
        for (int32_t j = 0; j < 50; j++) memory::alloc_cells(20);
        gc::collect();
        Cell out, part = integer(2), value = integer(100 + round);
        gc::Protect keep_out(&out);
        series_actions::copy(&s, &out, &part, false, nullptr);
        EXPECT_EQ(length(out), 2);
        Cell index = integer(1);
        series_actions::poke(&s, &index, &value, 1, &out);
        Cell target = s;
        target.w1 = uint32_t(length(s));
        lookup<slot_move>(&s)(&s, &target, nullptr, &out);
        lookup<slot_reverse>(&s)(&s, nullptr, nullptr, &out);
    }
    EXPECT_EQ(length(s), 8);
}

}  // namespace
