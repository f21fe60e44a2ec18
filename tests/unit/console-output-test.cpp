#include "base/console-output.h"

#include <gtest/gtest.h>

#include <cmath>

#include "base/hooks.h"
#include "test-capture.h"

using namespace vum;

namespace {

TEST(ConsoleOutput, TypedValuesPrintInTheirForms) {
    using print::Item;
    std::string text = capture_output([] {
        print::value({Item::boolean(true), Item::text(" "), Item::integer(-42), Item::character('x'),
                      Item::text(" "), Item::float64(0.1), Item::text(" "), Item::float32(1.0f / 3),
                      Item::text(" ")});
        print::value_line({Item::hex(0xBEEF), Item::boolean(false)});
    });
    EXPECT_EQ(text, "true -42x 0.1 0.3333333 0000BEEFfalse\n");
}

TEST(ConsoleOutput, NumberPrinters) {
    std::string text = capture_output([] {
        print::integer(7);
        print::hex_byte(0xA);
        print::hex(0xABC);
        print::float64(1e300);
    });
    EXPECT_EQ(text, "70A00000ABC1e+300");
}

TEST(ConsoleOutput, CharLiterals) {
    struct Case {
        uint32_t c;
        const char* text;
    } cases[] = {{0, "#\"^@\""},   {9, "#\"^-\""},  {10, "#\"^/\""},     {27, "#\"^]\""},
                 {1, "#\"^A\""},   {26, "#\"^Z\""}, {31, "#\"^_\""},     {'a', "#\"a\""},
                 {127, "#\"\x7f\""}, {128, "#\"^(80)\""}, {255, "#\"^(FF)\""}};
    for (const Case& c : cases)
        EXPECT_EQ(capture_output([&] { print::char_literal(c.c); }), c.text) << c.c;
    EXPECT_EXIT(print::char_literal(256), testing::ExitedWithCode(100), "no value matched in CASE");
}

TEST(ConsoleOutput, UnitsGoOutAsUtf8WithEscapesUnchanged) {
    const uint8_t latin[] = {'a', 0xE9, 27, '[', '3', '1', 'm'};
    const uint16_t wide[] = {0x20AC, 'b'};
    const uint32_t full[] = {0x1F600};
    std::string text = capture_output([&] {
        output::write_text8(reinterpret_cast<const char*>(latin), sizeof latin);
        output::write_line16(wide, sizeof wide);
        output::write_line_ucs4(full, sizeof full);
    });
    EXPECT_EQ(text, "a\xC3\xA9\x1B[31m\xE2\x82\xAC" "b\n\xF0\x9F\x98\x80\n");
    EXPECT_EXIT(output::write_text(latin, 1, 3, false), testing::ExitedWithCode(101), "SWITCH");
}

TEST(ConsoleOutput, LongTextIsWrittenWholeThroughTheBuffer) {
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = char(0xE9);  // two UTF-8 bytes each
    std::string text = capture_output([&] { output::write_text8(big.data(), int32_t(big.size())); });
    size_t wide = (big.size() + 6) / 7;
    EXPECT_EQ(text.size(), big.size() + wide);
}

std::string hooked;
void record(const char* text, int32_t length, int32_t) { hooked.append(text, size_t(length)); }

TEST(ConsoleOutput, EveryWriteReachesTheTextHooks) {
    hooks::init();
    hooks::register_hooks(nullptr, record);
    hooked.clear();
    std::string text = capture_output([] {
        print::c_string("abc ");
        print::integer(12);
        output::write_line8("\xE9", 1);
    });
    hooks::init();
    EXPECT_EQ(text, "abc 12\xC3\xA9\n");
    EXPECT_EQ(hooked, text);
}

TEST(ConsoleOutput, AngleNormaliser) {
    const double pi = 3.141592653589793;
    struct Case {
        double x;
        int mode;
        double radians;
    } cases[] = {{450, 1, pi / 2}, {270, 0, -pi / 2}, {135, 2, pi / 4}, {-135, 2, -pi / 4},
                 {-270, 1, pi / 2}, {200, 0, pi / 9}, {30, 0, pi / 6}};
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(output_helpers::degrees_to_radians(c.x, c.mode), c.radians) << c.x << " " << c.mode;
}

TEST(ConsoleOutput, CStringEquality) {
    EXPECT_TRUE(output_helpers::cstring_equal("abc", "abc"));
    EXPECT_FALSE(output_helpers::cstring_equal("abc", "abcd"));
    EXPECT_FALSE(output_helpers::cstring_equal("abd", "abc"));
}

}  // namespace
