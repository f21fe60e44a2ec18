#include <gtest/gtest.h>

#include <cmath>

#include "datatype-fixture.h"
#include "datatypes/logic.h"
#include "datatypes/registry.h"
#include "datatypes/time.h"

using namespace vum;

namespace {

class TimeTest : public DatatypeTest {
protected:
    static Cell integer(int32_t n) { return {type_integer, 0, uint32_t(n), 0}; }
    static Cell real(double d) {
        Cell c{};
        return *cell::make_float(&c, d);
    }
    static Cell time(double seconds) {
        Cell c{};
        return *time_type::make_at(&c, seconds);
    }
    static double seconds(const Cell& c) { return cell::get_double(&c); }

    static Cell call(actions::SlotOf<actions::FrameFn> slot, const Cell& a, const Cell& b) {
        return in_frame(a, &b, [&] { actions::lookup(stack::arg(0), slot)(); });
    }

    static Cell to_time(const Cell& spec) {
        Cell proto = {type_datatype, type_time, 0, 0}, out{};
        actions::handler<actions::slot_to>(type_time)(&proto, &spec, type_time, &out);
        return out;
    }

    // A path step on a time held in `holder`; value null reads.
    static Cell path(Cell& holder, const Cell& element, const Cell* value = nullptr) {
        actions::PathStep step{&holder, &element, value, nullptr, nullptr, nullptr, 1, false, true, false, false};
        Cell out{};
        actions::lookup<actions::slot_eval_path>(&holder)(step, &out);
        return out;
    }

    uint32_t block_of(std::initializer_list<Cell> cells) {
        uint32_t node = memory::alloc_cells(4);
        for (const Cell& c : cells) *series::alloc_tail_cell(node) = c;
        return node;
    }
};

TEST_F(TimeTest, Form) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {3600, "1:00:00"},
        {-90, "-0:01:30"},
        {3.5, "0:00:03.5"},
        {360000, "100:00:00"},
        {90.25, "0:01:30.25"},
        {5.5, "0:00:05.5"},
        {45296.125, "12:34:56.125"},
        {0, "0:00:00"},
        {1e-7, "0:00:00"},
        // Seconds that round to 60 in the six digits written carry over.
        {59.9999999, "0:01:00"},
        {3599.9999999, "1:00:00"},
        {-119.99999999, "-0:02:00"},
        {1e13, "2777777777:46:40"},
        {HUGE_VAL, "1.#INF"},
        {std::nan(""), "1.#NaN"},
    };
    for (const Case& c : cases) {
        Cell t = time(c.seconds);
        EXPECT_EQ(form(t), c.text) << c.seconds;
        EXPECT_EQ(mold(t), c.text) << c.seconds;
    }
    Cell t = time(3723);
    uint32_t buffer = string::make(8);
    gc::ProtectNode keep(&buffer);
    EXPECT_EQ(actions::call_form(&t, buffer, true, 4), 0);
    EXPECT_EQ(string::node_to_utf8(buffer), "1:02");
}

TEST_F(TimeTest, MakeAndTo) {
    uint32_t hours_minutes = block_of({integer(1), integer(30)});
    gc::ProtectNode keep1(&hours_minutes);
    uint32_t negative = block_of({integer(-1), integer(30), integer(15)});
    gc::ProtectNode keep2(&negative);
    uint32_t with_fraction = block_of({integer(0), integer(1), real(2.5)});
    gc::ProtectNode keep3(&with_fraction);
    uint32_t negative_minutes = block_of({integer(1), integer(-30)});
    gc::ProtectNode keep4(&negative_minutes);
    uint32_t four = block_of({integer(1), integer(2), integer(3), integer(4)});
    gc::ProtectNode keep5(&four);
    uint32_t float_hours = block_of({real(1.5)});
    gc::ProtectNode keep6(&float_hours);
    auto block = [](uint32_t node, uint32_t head = 0) { return Cell{type_block, head, node, 0}; };
    struct Case {
        Cell spec;
        const char* error;
        double expected;
    } cases[] = {
        {integer(-90), nullptr, -90},
        {real(3.5), nullptr, 3.5},
        {time(7), nullptr, 7},
        {block(hours_minutes), nullptr, 5400},
        {block(negative), nullptr, -(3600 + 30 * 60 + 15)},
        {block(with_fraction), nullptr, 62.5},
        {block(four, 4), nullptr, 0},
        {block(four, 1), nullptr, 2 * 3600 + 3 * 60 + 4},
        {block(negative_minutes), "bad-to-arg", 0},
        {block(four), "bad-to-arg", 0},
        {block(float_hours), "bad-to-arg", 0},
        {core_types::none_cell, "bad-to-arg", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        Cell out{};
        Cell e = caught([&] { out = to_time(c.spec); });
        if (c.error) {
            EXPECT_EQ(error_id(e), c.error);
        } else {
            EXPECT_EQ(cell::type(&out), type_time);
            EXPECT_EQ(seconds(out), c.expected);
        }
    }
    EXPECT_EQ(form(to_time(integer(-90))), "-0:01:30");
    EXPECT_EQ(form(to_time(real(3.5))), "0:00:03.5");
}

TEST_F(TimeTest, Arithmetic) {
    using namespace actions;
    Cell ratio = call(slot_divide, time(3600), time(1800));
    EXPECT_EQ(cell::type(&ratio), type_float);
    EXPECT_EQ(seconds(ratio), 2.0);
    struct Case {
        actions::SlotOf<actions::FrameFn> slot;
        Cell a, b;
        double expected;
    } cases[] = {
        {slot_divide, time(3600), integer(2), 1800},
        {slot_add, time(60), real(1.5), 61.5},
        {slot_subtract, time(60), time(90), -30},
        {slot_multiply, integer(2), time(1800), 3600},
        {slot_multiply, time(1800), real(0.5), 900},
        {slot_remainder, time(3700), integer(3600), 100},
    };
    for (const Case& c : cases) {
        Cell r = call(c.slot, c.a, c.b);
        EXPECT_EQ(cell::type(&r), type_time) << "slot " << c.slot;
        EXPECT_EQ(seconds(r), c.expected) << "slot " << c.slot;
    }
    Cell date = {type_date, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { call(slot_multiply, time(1), time(2)); })), "not-related");
    EXPECT_EQ(error_id(caught([&] { call(slot_subtract, time(1), date); })), "not-related");
    Cell ch = {type_char, 0, 'a', 0};
    EXPECT_EQ(error_id(caught([&] { call(slot_add, time(1), ch); })), "invalid-type");
    EXPECT_EQ(datatype::handler(type_time, slot_power), nullptr);
    EXPECT_EQ(datatype::handler(type_time, slot_negate), datatype::handler(type_float, slot_negate));
}

TEST_F(TimeTest, PathAndPick) {
    Cell hour = context::load_word("hour"), minute = context::load_word("minute");
    Cell second = context::load_word("second"), upper = context::load_word("MINUTE");
    Cell t = time(3723);  // 1:02:03
    Cell h = path(t, hour), m = path(t, upper), s = path(t, integer(3));
    EXPECT_EQ(cell::type(&h), type_integer);
    EXPECT_EQ(cell::get_integer(&h), 1);
    EXPECT_EQ(cell::get_integer(&m), 2);
    EXPECT_EQ(cell::type(&s), type_float);
    EXPECT_EQ(seconds(s), 3.0);

    Cell thirty = integer(30), seven_half = real(7.5), two = integer(2);
    Cell r = path(t, minute, &thirty);
    EXPECT_EQ(cell::get_integer(&r), 30);
    EXPECT_EQ(form(t), "1:30:03");
    t = time(3723);
    path(t, second, &seven_half);
    EXPECT_EQ(form(t), "1:02:07.5");
    path(t, integer(1), &two);
    EXPECT_EQ(form(t), "2:02:07.5");

    // Writing back what a field reads leaves any time as it was.
    for (double x : {-90.0, -5400.5, -3723.25, -0.5, 7384.75, 0.0}) {
        for (const Cell* field : {&hour, &minute, &second}) {
            Cell v = time(x);
            Cell read = path(v, *field);
            path(v, *field, &read);
            EXPECT_EQ(seconds(v), x) << x << " " << symbols::text(int32_t(field->w2));
        }
    }
    Cell negative = time(-90);
    Cell two_minutes = integer(2);
    path(negative, minute, &two_minutes);
    EXPECT_EQ(form(negative), "-0:02:30");

    Cell day = context::load_word("day"), half = real(0.5);
    EXPECT_EQ(error_id(caught([&] { path(t, day); })), "cannot-use");
    EXPECT_EQ(error_id(caught([&] { path(t, integer(4)); })), "invalid-path");
    EXPECT_EQ(error_id(caught([&] { path(t, real(1)); })), "invalid-path");
    EXPECT_EQ(error_id(caught([&] { path(t, hour, &half); })), "invalid-arg");
    Cell infinite = time(HUGE_VAL);
    EXPECT_EQ(error_id(caught([&] { path(infinite, hour); })), "overflow");

    auto pick = actions::lookup<actions::slot_pick>(&t);
    Cell out{};
    Cell index = integer(2);
    pick(&t, &index, 0, &out);
    EXPECT_EQ(cell::get_integer(&out), 2);
    pick(&t, &hour, 0, &out);
    EXPECT_EQ(cell::get_integer(&out), 2);
    index = integer(4);
    EXPECT_EQ(error_id(caught([&] { pick(&t, &index, 0, &out); })), "out-of-range");
    EXPECT_EQ(error_id(caught([&] { pick(&t, &day, 0, &out); })), "out-of-range");
}

TEST_F(TimeTest, RoundPredicatesAndCompare) {
    Cell t = time(3723.7), one = integer(1), out{};
    auto round = actions::lookup<actions::slot_round>(&t);
    round(&t, &one, false, false, false, false, false, false, &out);
    EXPECT_EQ(cell::type(&out), type_time);
    EXPECT_EQ(form(out), "1:02:04");
    Cell quarter = time(900);
    round(&t, &quarter, false, false, false, true, false, false, &out);
    EXPECT_EQ(form(out), "1:00:00");
    round(&t, nullptr, false, true, false, false, false, false, &out);
    EXPECT_EQ(seconds(out), 3723.0);
    Cell money = {type_money, 0, 0, 0};
    EXPECT_EQ(error_id(caught([&] { round(&t, &money, false, false, false, false, false, false, &out); })),
              "not-related");

    auto even = actions::lookup<actions::slot_even_q>(&t);
    auto odd = actions::lookup<actions::slot_odd_q>(&t);
    struct Case {
        double seconds;
        bool even;
    } cases[] = {{2, true}, {62.5, true}, {2.9999999, false}, {-3, false}, {-2.9999999, false}, {119, false}};
    for (const Case& c : cases) {
        Cell v = time(c.seconds);
        EXPECT_EQ(even(&v), c.even) << c.seconds;
        EXPECT_EQ(odd(&v), !c.even) << c.seconds;
    }

    Cell a = time(0.1 + 0.2), b = time(0.3), f = real(0.3);
    EXPECT_TRUE(actions::compare(&a, &b, actions::op_equal));
    EXPECT_TRUE(actions::compare(&b, &f, actions::op_equal));
    EXPECT_FALSE(actions::compare(&b, &f, actions::op_strict_equal));
    EXPECT_TRUE(actions::compare(&b, &a, actions::op_lesser));
}

}  // namespace
