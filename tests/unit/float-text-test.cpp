// Double <-> decimal text. The C++ library's own conversions serve as the
// independent reference: std::to_chars for shortest and fixed-count digits,
// std::from_chars / strtod for reading.
#include "base/float-text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace vum;

uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

constexpr double inf = std::numeric_limits<double>::infinity();

// Parses text from a buffer of exactly its size with no terminator, so that
// a read at or past the end shows up under AddressSanitizer.
double parse(const std::string& text, int* unconsumed, int offset = 0) {
    std::unique_ptr<char[]> buf(new char[text.size() + 1]);
    char* start = buf.get() + 1;   // keep a valid pointer for empty text
    std::memcpy(start, text.data(), text.size());
    return floats::parse_text(start, start + text.size(), offset, unconsumed);
}

double parse(const std::string& text) {
    int unconsumed = -1;
    double d = parse(text, &unconsumed);
    EXPECT_EQ(unconsumed, 0) << text;
    return d;
}

double oracle_read(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Shortest digits and 0.d1d2... exponent according to std::to_chars.
struct Digits {
    std::string digits;
    int exponent;
};

Digits oracle_digits(double d, int count) {
    char buf[64];
    std::to_chars_result r =
        count <= 0 ? std::to_chars(buf, buf + sizeof buf, std::fabs(d),
                                   std::chars_format::scientific)
                   : std::to_chars(buf, buf + sizeof buf, std::fabs(d),
                                   std::chars_format::scientific, count - 1);
    std::string text(buf, r.ptr);
    size_t epos = text.find('e');
    Digits out;
    for (size_t i = 0; i < epos; ++i) {
        if (text[i] != '.') out.digits += text[i];
    }
    while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
    out.exponent = std::atoi(text.c_str() + epos + 1) + 1;
    return out;
}

Digits our_digits(double d, int count) {
    int e = 0, neg = 0, n = 0;
    const char* t = floats::to_digits(d, count, &e, &neg, &n, 0);
    return {std::string(t + neg, size_t(n)), e};
}

// Exact decimal text of m * 2^g, for building inputs that sit precisely on
// (or a hair beside) a midpoint between two doubles.
std::string exact_decimal(uint64_t m, int g) {
    std::vector<uint32_t> big{uint32_t(m % 1000000000), uint32_t(m / 1000000000 % 1000000000),
                              uint32_t(m / 1000000000000000000ULL)};
    auto mul_small = [&big](uint32_t f) {
        uint64_t carry = 0;
        for (uint32_t& w : big) {
            uint64_t t = uint64_t(w) * f + carry;
            w = uint32_t(t % 1000000000);
            carry = t / 1000000000;
        }
        while (carry != 0) {
            big.push_back(uint32_t(carry % 1000000000));
            carry /= 1000000000;
        }
    };
    int exp10 = 0;
    for (int i = 0; i < g; ++i) mul_small(2);
    for (int i = 0; i < -g; ++i) {
        mul_small(5);
        --exp10;
    }
    std::string s = std::to_string(big.back());
    for (size_t i = big.size() - 1; i-- > 0;) {
        std::string w = std::to_string(big[i]);
        s += std::string(9 - w.size(), '0') + w;
    }
    size_t first = s.find_first_not_of('0');
    return s.substr(first) + "e" + std::to_string(exp10);
}

// ---------------------------------------------------------------------------

struct LayoutCase {
    double d;
    int count;
    int flag;
    const char* text;
};

TEST(FloatTextForm, Layouts) {
    const double nan_neg = -std::numeric_limits<double>::quiet_NaN();
    const LayoutCase cases[] = {
        // positional, point inside the digits or after padding zeros
        {123.456, 0, 1, "123.456"},
        {100.0, 0, 1, "100.0"},
        {100.0, 0, 0, "100"},
        {1234.0, 0, 1, "1234.0"},
        {1e16, 0, 1, "10000000000000000.0"},
        {1.5e16, 0, 1, "15000000000000000.0"},
        {12345678901234567.0, 0, 1, "12345678901234568.0"},
        {-0.5, 0, 1, "-0.5"},
        {0.1, 0, 1, "0.1"},
        {1.0 / 3, 0, 1, "0.3333333333333333"},
        {1e-6, 0, 1, "0.000001"},
        {1e-7, 0, 1, "0.0000001"},
        {-2.5e-7, 0, 0, "-0.00000025"},
        // exponent form
        {1e17, 0, 1, "1.0e17"},
        {1e17, 0, 0, "1e17"},
        {1.5e17, 0, 1, "1.5e17"},
        {1.5e20, 0, 1, "1.5e20"},
        {1e21, 0, 1, "1.0e21"},
        {1e-8, 0, 1, "1.0e-8"},
        {-1.25e-10, 0, 0, "-1.25e-10"},
        {5e-324, 0, 1, "5.0e-324"},
        {1.7976931348623157e308, 0, 1, "1.7976931348623157e308"},
        {-2.2250738585072014e-308, 0, 0, "-2.2250738585072014e-308"},
        // fixed counts: time seconds (6, no fraction), money (22, fraction)
        {2.0, 6, 0, "2"},
        {0.0, 6, 0, "0"},
        {1.5, 6, 0, "1.5"},
        {123.4567891, 6, 0, "123.457"},
        {1234567.0, 6, 0, "1234570"},
        {86399.99999999, 6, 0, "86400"},
        {0.0000123456789, 6, 0, "0.0000123457"},
        {9.9999996e-7, 6, 0, "0.000001"},
        {3e20, 6, 0, "3e20"},
        {0.1, 22, 1, "0.1000000000000000055511"},
        {19.99, 22, 1, "19.98999999999999843681"},
        {1234.5, 22, 1, "1234.5"},
        {-1.1e-7, 22, 1, "-0.0000001100000000000000056102"},   // fills the area
        {1e300, 22, 1, "1.000000000000000052505e300"},
        // counted ties go to the even digit
        {0.125, 2, 0, "0.12"},
        {0.375, 2, 0, "0.38"},
        {2.5, 1, 0, "2"},
        {3.5, 1, 0, "4"},
        {125.0, 2, 0, "120"},
        {135.0, 2, 0, "140"},
        // specials pass through unchanged
        {0.0, 0, 1, "0.0"},
        {-0.0, 0, 1, "-0.0"},
        {-0.0, 0, 0, "-0"},
        {inf, 0, 1, "1.#INF"},
        {-inf, 6, 0, "-1.#INF"},
        {nan_neg, 0, 1, "1.#NaN"},
    };
    for (const LayoutCase& c : cases) {
        EXPECT_STREQ(floats::form_text(c.d, c.count, c.flag), c.text)
            << c.d << " count " << c.count << " flag " << c.flag;
    }
}

TEST(FloatTextDigits, ResultFields) {
    struct Case {
        double d;
        int count;
        int flag;
        const char* text;
        int exponent;
        int negative;
    };
    const Case cases[] = {
        {123.456, 0, 0, "123456", 3, 0},
        {-0.00125, 0, 0, "-125", -2, 1},
        {1e23, 0, 0, "1", 24, 0},                  // shortest carries to 10^23
        {9.5, 1, 0, "1", 2, 0},                    // counted carry to the next decade
        // 2^-40 has 28 digits; cutting the final 5 is an exact tie
        {9.094947017729282379150390625e-13, 27, 0, "909494701772928237915039062", -12, 0},
        {-0.0, 0, 1, "-0.0", floats::zero_exponent, 1},
        {0.0, 0, 0, "0", floats::zero_exponent, 0},
        {-inf, 0, 0, "-1.#INF", floats::special_exponent, 1},
        {-std::numeric_limits<double>::quiet_NaN(), 0, 0, "1.#NaN",
         floats::special_exponent, 0},
    };
    for (const Case& c : cases) {
        int e = 0, neg = -1, n = -1;
        const char* t = floats::to_digits(c.d, c.count, &e, &neg, &n, c.flag);
        EXPECT_STREQ(t, c.text) << c.d;
        EXPECT_EQ(e, c.exponent) << c.d;
        EXPECT_EQ(neg, c.negative) << c.d;
        EXPECT_EQ(n, int(std::strlen(c.text)) - c.negative) << c.d;
    }
}

TEST(FloatTextDigits, SharedAreaAndCountCap) {
    const char* first = floats::to_digits(-2.5, 0, nullptr, nullptr, nullptr, 0);
    const char* second = floats::to_digits(7.0, 0, nullptr, nullptr, nullptr, 0);
    EXPECT_EQ(first + 1, second);
    EXPECT_STREQ(first, "-7");   // the sign stays, the digits were replaced

    int e = 0, neg = 0, n = 0;
    const char* t = floats::to_digits(0.1, 100, &e, &neg, &n, 0);
    EXPECT_EQ(n, floats::max_digits);
    EXPECT_STREQ(t, "100000000000000005551115123126");
    EXPECT_STREQ(floats::form_text(-1.1e-7, 1000, 1), "-0.0000001100000000000000056102");
}

// Every binade edge: a power of two has a gap below it half the gap above,
// so the shortest string must respect the narrower side. Subnormals have a
// uniform gap and are checked alongside.
TEST(FloatTextDigits, BinadeEdgesMatchReference) {
    std::vector<uint64_t> patterns;
    for (uint64_t biased = 0; biased < 2047; ++biased) {
        for (uint64_t frac : {0ULL, 1ULL, (1ULL << 51), (1ULL << 52) - 1}) {
            if (biased == 0 && frac == 0) continue;
            patterns.push_back(biased << 52 | frac);
        }
    }
    for (uint64_t bits : patterns) {
        double d = from_bits(bits);
        Digits ours = our_digits(d, 0);
        Digits ref = oracle_digits(d, 0);
        EXPECT_EQ(ours.digits, ref.digits) << d;
        EXPECT_EQ(ours.exponent, ref.exponent) << d;
        std::string shown = floats::form_text(d, 0, 0);
        EXPECT_EQ(bits_of(parse(shown)), bits) << shown;
    }
}

// ---------------------------------------------------------------------------

TEST(FloatTextParse, Table) {
    struct Case {
        const char* text;
        double value;
        int unconsumed;
    };
    const double max = std::numeric_limits<double>::max();
    const double tiny = std::numeric_limits<double>::denorm_min();
    const Case cases[] = {
        {"0.1", 0.1, 0},
        {"12.5E+3", 12500.0, 0},
        {"+.5", 0.5, 0},
        {"5.", 5.0, 0},
        {"-17", -17.0, 0},
        {"0000000000000000000000000000001.5", 1.5, 0},
        {"0.000001e6", 1.0, 0},
        {"1e400", inf, 0},
        {"-1e400", -inf, 0},
        {"1e-400", 0.0, 0},
        {"1e99999999999", inf, 0},
        {"1e-99999999999", 0.0, 0},
        {"0e99999999999", 0.0, 0},
        {"1.#INF", inf, 0},
        {"-1.#INF", -inf, 0},
        {"1.#inf and more", inf, 0},
        {"01.#INF", inf, 0},
        {"0.#INF", 0.0, 4},
        {"12.#INF", 12.0, 4},
        {"1.#", 1.0, 1},
        {"1.#X", 1.0, 2},
        {"1.5x", 1.5, 1},
        {"1e", 1.0, 1},
        {"1e+", 1.0, 2},
        {"2E-x", 2.0, 3},
        {"", 0.0, 0},
        {"-", 0.0, 1},
        {".", 0.0, 1},
        {"abc", 0.0, 3},
        {"9007199254740993", 9007199254740992.0, 0},
        {"9007199254740995", 9007199254740996.0, 0},
        {"9007199254740993.0000000000000000000001", 9007199254740994.0, 0},
        {"4.9406564584124654e-324", tiny, 0},
        {"2.4703282292062328e-324", tiny, 0},
        {"2.4703282292062327e-324", 0.0, 0},
        {"2.2250738585072011e-308", 2.2250738585072009e-308, 0},
        {"2.2250738585072012e-308", 2.2250738585072014e-308, 0},
        {"1.7976931348623158e308", max, 0},
        {"1.7976931348623159e308", inf, 0},
        {"123456789012345678901234567890", 1.2345678901234568e29, 0},
        {"8.98846567431158e307", 8.98846567431158e307, 0},
        {"1e23", 1e23, 0},
        {"1e22", 1e22, 0},
        {"123456789012345e30", 1.23456789012345e44, 0},
    };
    for (const Case& c : cases) {
        int unconsumed = -1;
        double d = parse(c.text, &unconsumed);
        EXPECT_EQ(bits_of(d), bits_of(c.value)) << c.text << " gave " << d;
        EXPECT_EQ(unconsumed, c.unconsumed) << c.text;
    }
}

TEST(FloatTextParse, NegativeZeroKeepsItsSign) {
    for (const char* text : {"-0.0", "-0", "-0e5", "-1e-400"}) {
        double d = parse(text);
        EXPECT_EQ(bits_of(d), bits_of(-0.0)) << text;
    }
    for (const char* text : {"0.0", "+0", "1e-400"}) EXPECT_EQ(bits_of(parse(text)), 0u) << text;
}

TEST(FloatTextParse, NaNIsQuietAndUnsigned) {
    for (const char* text : {"1.#NaN", "-1.#NaN", "1.#nan"}) {
        int unconsumed = -1;
        double d = parse(text, &unconsumed);
        EXPECT_EQ(bits_of(d), 0x7FF8000000000000ULL) << text;
        EXPECT_EQ(unconsumed, 0) << text;
    }
}

TEST(FloatTextParse, StopsAtEndAndAppliesOffset) {
    const char text[] = "12345e7";
    int unconsumed = -1;
    EXPECT_EQ(floats::parse_text(text, text + 3, 0, &unconsumed), 123.0);
    EXPECT_EQ(unconsumed, 0);
    EXPECT_EQ(floats::parse_text(text, text + 6, 0, &unconsumed), 12345.0);
    EXPECT_EQ(unconsumed, 1);

    EXPECT_EQ(parse("1.5", &unconsumed, 3), 1500.0);
    EXPECT_EQ(parse("1.5", &unconsumed, -2), 0.015);
    EXPECT_EQ(parse("17e-1", &unconsumed, 310), inf);
    EXPECT_EQ(bits_of(parse("5e-1", &unconsumed, -323)), bits_of(5e-324));
}

TEST(FloatTextParse, LongInputsMatchReference) {
    std::mt19937_64 rng(7);
    struct Shape {
        int int_digits;
        int frac_digits;
        int exponent;
    };
    const Shape shapes[] = {{700, 0, -400}, {1, 699, 0},    {0, 700, -300},
                            {300, 400, -310}, {700, 0, -1000}, {5, 2000, -330}};
    for (const Shape& s : shapes) {
        for (int rep = 0; rep < 20; ++rep) {
            std::string text;
            for (int i = 0; i < s.int_digits; ++i) text += char('0' + (i == 0 ? 1 + rng() % 9 : rng() % 10));
            if (s.frac_digits > 0) {
                text += '.';
                for (int i = 0; i < s.frac_digits; ++i) text += char('0' + rng() % 10);
            }
            text += "e" + std::to_string(s.exponent);
            EXPECT_EQ(bits_of(parse(text)), bits_of(oracle_read(text))) << text;
        }
    }
}

// Inputs exactly on a midpoint between neighbouring doubles go to the even
// one; the smallest excess or shortfall, even 1000 digits down, decides.
TEST(FloatTextParse, ExactMidpoints) {
    // Each entry is the double just below the midpoint.
    std::vector<uint64_t> lows = {
        0,                                  // half the smallest subnormal
        1,                                  // between the two smallest subnormals
        0x000FFFFFFFFFFFFFULL,              // largest subnormal / smallest normal
        0x3FEFFFFFFFFFFFFFULL,              // just below 1
        0x3FF0000000000000ULL,              // 1 and the next
        0x433FFFFFFFFFFFFFULL,              // around 2^53
        0x7FEFFFFFFFFFFFFEULL,              // below the largest
        0x7FEFFFFFFFFFFFFFULL,              // largest and the overflow threshold
    };
    std::mt19937_64 rng(11);
    for (int i = 0; i < 300; ++i) lows.push_back(rng() % 0x7FEFFFFFFFFFFFFFULL);

    for (uint64_t low : lows) {
        int biased = int(low >> 52);
        uint64_t m = biased == 0 ? low & ((1ULL << 52) - 1)
                                 : (low & ((1ULL << 52) - 1)) | (1ULL << 52);
        int e = biased == 0 ? -1074 : biased - 1075;
        // midpoint = (2m + 1) * 2^(e-1)
        std::string mid = exact_decimal(2 * m + 1, e - 1);
        size_t epos = mid.find('e');
        std::string digits = mid.substr(0, epos);
        int exp10 = std::atoi(mid.c_str() + epos + 1);

        uint64_t even = (low & 1) == 0 ? low : low + 1;
        EXPECT_EQ(bits_of(parse(mid)), even) << mid;

        // A trailing 1 far past every significant digit of any midpoint.
        std::string above = digits + std::string(1000, '0') + "1e" + std::to_string(exp10 - 1001);
        EXPECT_EQ(bits_of(parse(above)), low + 1) << above.substr(0, 40);

        // The same distance below: digits - 1, then a long run of nines.
        std::string below = digits;
        size_t i = below.size() - 1;
        while (below[i] == '0') below[i--] = '9';
        --below[i];
        below += std::string(1000, '9') + "e" + std::to_string(exp10 - 1000);
        EXPECT_EQ(bits_of(parse(below)), low) << below.substr(0, 40);
    }
}

// ---------------------------------------------------------------------------

double random_double(std::mt19937_64& rng) {
    unsigned kind = unsigned(rng() % 20);
    double sign = (rng() & 1) != 0 ? -1.0 : 1.0;
    if (kind < 14) {
        for (;;) {
            double d = from_bits(rng());
            if (std::isfinite(d)) return d;
        }
    }
    if (kind < 17) {
        // short decimals such as 12.75 or 0.003
        uint64_t mant = rng() % 1000000000000000ULL;
        mant /= uint64_t(std::pow(10.0, double(rng() % 15)));
        int exp = int(rng() % 41) - 20;
        return sign * oracle_read(std::to_string(mant) + "e" + std::to_string(exp));
    }
    // integers, mostly exact ones below 2^53
    uint64_t v = rng() >> (rng() % 64);
    return sign * double(v);
}

std::string random_17_digits(std::mt19937_64& rng) {
    std::string s(1, char('1' + rng() % 9));
    s += '.';
    for (int i = 0; i < 16; ++i) s += char('0' + rng() % 10);
    return s + "e" + std::to_string(int(rng() % 650) - 340);
}

TEST(FloatTextProperty, RandomDoublesAgreeWithReference) {
    constexpr int iterations = 1000000;
    std::mt19937_64 rng(20240611);
    int failures = 0;
    auto fail = [&failures](const std::string& what) {
        ADD_FAILURE() << what;
        return ++failures >= 10;
    };
    for (int i = 0; i < iterations; ++i) {
        double d = random_double(rng);

        std::string shown = floats::form_text(d, 0, 1);
        int unconsumed = -1;
        double back = floats::parse_text(shown.data(), shown.data() + shown.size(), 0, &unconsumed);
        if ((bits_of(back) != bits_of(d) && d != 0.0) || unconsumed != 0) {
            if (fail("round trip of " + shown)) break;
        }

        Digits ours = our_digits(d, 0);
        Digits ref = oracle_digits(d, 0);
        if (d != 0.0 && (ours.digits != ref.digits || ours.exponent != ref.exponent)) {
            if (fail("shortest " + ours.digits + "@" + std::to_string(ours.exponent) +
                     " expected " + ref.digits + "@" + std::to_string(ref.exponent)))
                break;
        }

        int count = 1 + int(rng() % floats::max_digits);
        ours = our_digits(d, count);
        ref = oracle_digits(d, count);
        if (d != 0.0 && (ours.digits != ref.digits || ours.exponent != ref.exponent)) {
            if (fail(std::to_string(count) + " digits " + ours.digits + "@" +
                     std::to_string(ours.exponent) + " expected " + ref.digits + "@" +
                     std::to_string(ref.exponent)))
                break;
        }

        char buf[64];
        std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, d);
        double expect = 0;
        std::from_chars(buf, r.ptr, expect);
        if (bits_of(floats::parse_text(buf, r.ptr, 0, &unconsumed)) != bits_of(expect)) {
            if (fail("reading " + std::string(buf, r.ptr))) break;
        }

        std::string text = random_17_digits(rng);
        if (bits_of(floats::parse_text(text.data(), text.data() + text.size(), 0, &unconsumed)) !=
            bits_of(oracle_read(text))) {
            if (fail("reading " + text)) break;
        }
    }
}

}  // namespace
