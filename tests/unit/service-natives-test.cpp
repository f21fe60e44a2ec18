// What the transcripts of the service natives cannot see: the calendar
// fields of a given instant, and what print and prin hand to the value
// hooks, with the print scratch block left as it was found however a print
// ends. tests/transcripts/service.transcript covers the rest.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/hooks.h"
#include "datatype-fixture.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "engine/natives-service.h"
#include "engine/natives.h"
#include "memory/context.h"

using namespace vum;

namespace {

// Sets TZ for one scope and puts the old value back.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_) saved_ = old;
        setenv("TZ", zone, 1);
    }
    ~ZoneScope() {
        if (had_) setenv("TZ", saved_.c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }
    ZoneScope(const ZoneScope&) = delete;
    ZoneScope& operator=(const ZoneScope&) = delete;

private:
    bool had_ = false;
    std::string saved_;
};

TEST(ServiceNatives, CalendarFieldsOfAnInstant) {
    struct Case {
        const char* zone;
        int64_t seconds;  // since the epoch, UTC
        bool utc;
        int32_t year, month, day, weekday, yearday, zone_minutes;
        double time;
    };
    const Case cases[] = {
        // Sunday 2024-03-10 12:00 UTC: Sunday is 7; day 70 of a leap year.
        {"UTC0", 1710072000, false, 2024, 3, 10, 7, 70, 0, 12 * 3600.0},
        // Monday 2024-12-30 is 1; 2024-12-31 is day 366.
        {"UTC0", 1735560000, false, 2024, 12, 30, 1, 365, 0, 12 * 3600.0},
        {"UTC0", 1735689599, false, 2024, 12, 31, 2, 366, 0, 86399.0},
        // 2024-12-31 20:00 UTC is already 2025-01-01 01:45 at +5:45: date and
        // time move to the next day together.
        {"<+0545>-5:45", 1735675200, false, 2025, 1, 1, 3, 1, 345, 1 * 3600.0 + 45 * 60},
        {"<+0545>-5:45", 1735675200, true, 2024, 12, 31, 2, 366, 0, 20 * 3600.0},
        // 2024-03-01 02:00 UTC is still February 29 at -5:00.
        {"EST5", 1709258400, false, 2024, 2, 29, 4, 60, -300, 21 * 3600.0},
        // Zones keep whole quarter hours, toward zero.
        {"<+0520>-5:20", 1710072000, false, 2024, 3, 10, 7, 70, 315, 17 * 3600.0 + 20 * 60},
        {"<-0350>3:50", 1710072000, false, 2024, 3, 10, 7, 70, -225, 8 * 3600.0 + 10 * 60},
    };
    for (const Case& c : cases) {
        ZoneScope zone(c.zone);
        natives::Moment m = natives::moment_at(c.seconds, 0, c.utc, false);
        std::string label = std::string(c.zone) + " " + std::to_string(c.seconds) + (c.utc ? " utc" : "");
        EXPECT_EQ(m.year, c.year) << label;
        EXPECT_EQ(m.month, c.month) << label;
        EXPECT_EQ(m.day, c.day) << label;
        EXPECT_EQ(m.weekday, c.weekday) << label;
        EXPECT_EQ(m.yearday, c.yearday) << label;
        EXPECT_EQ(m.zone_minutes, c.zone_minutes) << label;
        EXPECT_EQ(m.time, c.time) << label;
    }
}

TEST(ServiceNatives, PreciseTimeCountsInStepsOf100Nanoseconds) {
    ZoneScope zone("UTC0");
    natives::Moment whole = natives::moment_at(1710072000, 123456789, false, false);
    natives::Moment precise = natives::moment_at(1710072000, 123456789, false, true);
    EXPECT_EQ(whole.time, 12 * 3600.0);
    EXPECT_NEAR(precise.time - 12 * 3600.0, 0.1234567, 1e-9);
}

struct Printed {
    std::string text;
    int32_t newline;
};
std::vector<Printed> printed;
void record(const Cell* value, int32_t newline) { printed.push_back({string::to_utf8(value), newline}); }

class PrintTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
        natives::init_table();
        define("print", "[value] 23");
        define("prin", "[value] 24");
        hooks::init();
        hooks::register_hooks(record, nullptr);
        printed.clear();
    }
    void TearDown() override {
        hooks::unregister(record, nullptr);
        for (int32_t id = 1; id <= natives::native_count; id++) natives::set_native(id, nullptr);
        // The services the interpreter offered belong to this fixture only.
        partial_services::fill();
        DatatypeTest::TearDown();
    }

    Cell* load(const char* text) {
        Cell* b = cell::make_none(stack::push_cell());
        lexer::load_utf8(text, int32_t(strlen(text)), b);
        return b;
    }
    void define(const char* name, const char* spec_and_id) {
        stack::Mark mark;
        Cell* spec = load(spec_and_id);
        Cell* result = stack::push_cell();
        auto make = actions::handler<actions::slot_make>(type_native);
        make(nullptr, spec, type_native, result);
        Cell w = context::load_word(name);
        context::set_word_value(&w, result);
    }
    // The error's id, or "" when the code ran through.
    std::string run(const char* text) {
        stack::Mark mark;
        Cell* b = load(text);
        Cell* result = stack::push_cell();
        if (eval::evaluate_protected(b, result)) return error_id(keep_error(*result));
        return "";
    }
    static std::string seen() {
        std::string s;
        for (const Printed& p : printed) s += p.text + (p.newline ? "|\n" : "|");
        return s;
    }
    static int32_t scratch_length() { return block_actions::buffer_length(natives::print_scratch()); }
};

TEST_F(PrintTest, HooksReceiveTheFormedTextAndTheNewlineFlag) {
    struct Case {
        const char* source;
        const char* seen;
    };
    const Case cases[] = {
        {"print [1 \"a\" 'b]", "1 a b|\n"},
        {"print [1 [2 [3 \"q\"]] \"s\"]", "1 2 3 q s|\n"},
        {"print \"abc\"", "abc|\n"},
        {"print 'word", "word|\n"},
        {"prin 5 prin [6 7] print \"\"", "5|6 7||\n"},
        // The inner print runs while the outer one reduces; each gets its
        // own values only.
        {"print [1 (print [2 (prin 3 4)] 5) 6]", "3|2 4|\n1 5 6|\n"},
    };
    for (const Case& c : cases) {
        printed.clear();
        EXPECT_EQ(run(c.source), "") << c.source;
        EXPECT_EQ(seen(), c.seen) << c.source;
    }
    run("prin 1");
    EXPECT_EQ(natives::last_newline(), 0);
    run("print 1");
    EXPECT_EQ(natives::last_newline(), 1);
}

TEST_F(PrintTest, ScratchBlockIsCutBackHoweverPrintEnds) {
    ASSERT_NE(natives::print_scratch(), 0u);
    const int32_t before = scratch_length();
    struct Case {
        const char* source;
        const char* error;
    };
    const Case cases[] = {
        {"print [1 2 3]", ""},
        {"print [1 2 no-such-word]", "no-value"},
        {"print [1 (print [2 3 no-such-word]) 4]", "no-value"},
        {"print [1 (print [2 3]) no-such-word]", "no-value"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.source), c.error) << c.source;
        EXPECT_EQ(scratch_length(), before) << c.source;
    }
    // More values than the scratch block's first capacity.
    printed.clear();
    EXPECT_EQ(run("print [1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 32 33 "
                  "34 35]"),
              "");
    EXPECT_EQ(seen(),
              "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29 30 31 32 33 34 35|\n");
    EXPECT_EQ(scratch_length(), before);
}

}  // namespace
