#include "memory/sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "memory-fixture.h"
#include "memory/raise-error.h"

using namespace vum;

namespace {


using SortFn = void (*)(void*, int32_t, int32_t, intptr_t, intptr_t, sort::Compare);

// ------------------------------------------------------------------ records

// Where a record keeps its key and its tag (the input position); keys and
// tags are little-endian unsigned numbers of 1 to 4 bytes.
struct Layout {
    const char* name;
    int32_t width;
    int32_t key_at, key_bytes;
    int32_t tag_at, tag_bytes;
};

constexpr Layout pair8{"key+tag", 8, 0, 4, 4, 4};
// An integer cell: the value in w2, the tag in w1.
constexpr Layout cell16{"cell", 16, 8, 4, 4, 4};
constexpr Layout odd3{"3 bytes", 3, 0, 1, 1, 2};
constexpr Layout odd6{"6 bytes", 6, 0, 2, 2, 4};

uint32_t read_field(const void* record, int32_t at, int32_t bytes) {
    uint32_t v = 0;
    std::memcpy(&v, static_cast<const uint8_t*>(record) + at, size_t(bytes));
    return v;
}

struct Counter {
    int64_t comparisons = 0;
};

// Compares by key; arg1 is the layout, arg2 an optional Counter.
int32_t by_key(const void* x, const void* y, intptr_t layout, intptr_t counter) {
    auto* l = reinterpret_cast<const Layout*>(layout);
    if (counter) reinterpret_cast<Counter*>(counter)->comparisons++;
    uint32_t a = read_field(x, l->key_at, l->key_bytes), b = read_field(y, l->key_at, l->key_bytes);
    return a < b ? -1 : a > b ? 1 : 0;
}

using KeyTag = std::pair<uint32_t, uint32_t>;

struct Table {
    Layout layout;
    std::vector<uint8_t> bytes;

    Table(const Layout& l, const std::vector<uint32_t>& keys) : layout(l), bytes(keys.size() * size_t(l.width), 0xA5) {
        uint32_t key_mask = l.key_bytes == 4 ? ~0u : (1u << (8 * l.key_bytes)) - 1;
        for (size_t i = 0; i < keys.size(); i++) {
            uint32_t k = keys[i] & key_mask, tag = uint32_t(i);
            std::memcpy(at(i) + l.key_at, &k, size_t(l.key_bytes));
            std::memcpy(at(i) + l.tag_at, &tag, size_t(l.tag_bytes));
        }
    }
    int32_t n() const { return int32_t(bytes.size() / size_t(layout.width)); }
    uint8_t* at(size_t i) { return bytes.data() + i * size_t(layout.width); }
    void* base() { return bytes.empty() ? nullptr : bytes.data(); }
    std::vector<KeyTag> pairs() {
        std::vector<KeyTag> out;
        for (int32_t i = 0; i < n(); i++)
            out.push_back({read_field(at(i), layout.key_at, layout.key_bytes),
                           read_field(at(i), layout.tag_at, layout.tag_bytes)});
        return out;
    }
    void sort_with(SortFn fn, Counter* counter = nullptr) {
        fn(base(), n(), layout.width, reinterpret_cast<intptr_t>(&layout), reinterpret_cast<intptr_t>(counter),
           by_key);
    }
};

std::vector<KeyTag> stable_reference(std::vector<KeyTag> v) {
    std::stable_sort(v.begin(), v.end(), [](const KeyTag& a, const KeyTag& b) { return a.first < b.first; });
    return v;
}

std::vector<uint32_t> keys_of(const std::vector<KeyTag>& v) {
    std::vector<uint32_t> k;
    for (const KeyTag& p : v) k.push_back(p.first);
    return k;
}

// ----------------------------------------------------------------- inputs

enum class Shape {
    ascending, descending, descending_duplicates, all_equal, random_wide, random_few, sawtooth,
    organ_pipe, nearly_ascending, nearly_descending, mixed_runs, rise_then_fall, fall_then_noisy_rise,
    stretches_in_noise,
};

const Shape all_shapes[] = {
    Shape::ascending, Shape::descending, Shape::descending_duplicates, Shape::all_equal,
    Shape::random_wide, Shape::random_few, Shape::sawtooth, Shape::organ_pipe,
    Shape::nearly_ascending, Shape::nearly_descending, Shape::mixed_runs, Shape::rise_then_fall,
    Shape::fall_then_noisy_rise, Shape::stretches_in_noise,
};

std::vector<uint32_t> make_keys(Shape shape, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint32_t> k(n);
    for (size_t i = 0; i < n; i++) {
        uint32_t u = uint32_t(i);
        switch (shape) {
            case Shape::ascending: k[i] = u; break;
            case Shape::descending: k[i] = uint32_t(n) - u; break;
            case Shape::descending_duplicates: k[i] = (uint32_t(n) - u) / 2; break;
            case Shape::all_equal: k[i] = 7; break;
            case Shape::random_wide: k[i] = rng(); break;
            case Shape::random_few: k[i] = rng() % 5; break;
            case Shape::sawtooth: k[i] = u % 37; break;
            case Shape::organ_pipe: k[i] = std::min(u, uint32_t(n) - u); break;
            case Shape::nearly_ascending: k[i] = u; break;
            case Shape::nearly_descending: k[i] = uint32_t(n) - u; break;
            case Shape::mixed_runs: k[i] = 0; break;
            case Shape::rise_then_fall: k[i] = i < n / 8 ? u : uint32_t(2 * n) - u; break;
            case Shape::fall_then_noisy_rise:
                k[i] = i < n / 8 ? uint32_t(n) - u : (rng() % 20 == 0 ? rng() % uint32_t(n) : u);
                break;
            case Shape::stretches_in_noise: k[i] = (i / 12) % 2 ? rng() % 1000 : u; break;
        }
    }
    if (shape == Shape::nearly_ascending || shape == Shape::nearly_descending)
        for (size_t j = 0; j < n / 100 + 1 && n > 1; j++) std::swap(k[rng() % n], k[rng() % n]);
    if (shape == Shape::mixed_runs) {
        for (size_t i = 0; i < n;) {
            size_t length = 1 + rng() % 60;
            bool down = rng() % 2;
            uint32_t start = rng() % 1000;
            for (size_t j = 0; j < length && i < n; j++, i++) k[i] = down ? start + 100 - uint32_t(j) : start + uint32_t(j) / 2;
        }
    }
    return k;
}

const size_t sizes[] = {0, 1, 2, 3, 7, 8, 9, 23, 24, 25, 48, 100, 511, 512, 1000, 4099, 65536};

// ------------------------------------------------------------------- swap

TEST(SortSwap, ExchangesWholeRecordsAtAnyAlignment) {
    struct Case {
        int32_t bytes;
        bool bytewise;
    } cases[] = {{1, true}, {3, true}, {6, true}, {6, false}, {4, false}, {16, false}, {16, true}, {20, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytes << " bytes, bytewise " << c.bytewise);
        uint8_t buffer[64];
        for (int i = 0; i < 64; i++) buffer[i] = uint8_t(i * 7 + 1);
        uint8_t before[64];
        std::memcpy(before, buffer, 64);
        uint8_t* x = buffer + 1;  // odd addresses on purpose
        uint8_t* y = buffer + 1 + c.bytes + 3;
        sort::swap(x, y, c.bytes, c.bytewise);
        for (int i = 0; i < 64; i++) {
            int from = i;
            if (buffer + i >= x && buffer + i < x + c.bytes) from = int(i + (y - x));
            if (buffer + i >= y && buffer + i < y + c.bytes) from = int(i - (y - x));
            EXPECT_EQ(buffer[i], before[from]) << "byte " << i;
        }
    }
}

TEST(SortSwap, NothingForEmptyRecordsOrTheSamePlace) {
    uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    sort::swap(buffer, buffer + 4, 0, false);
    sort::swap(buffer, buffer + 4, -4, false);
    sort::swap(buffer, buffer, 8, false);
    const uint8_t same[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(buffer, same, 8), 0);
}

// --------------------------------------------------------------- find-run

TEST(SortFindRun, AscendingRunsTakeEqualsDescendingRunsAreStrictAndReversed) {
    struct Case {
        std::vector<uint32_t> keys;
        int32_t run;
        std::vector<uint32_t> after;
    } cases[] = {
        {{}, 0, {}},
        {{7}, 1, {7}},
        {{2, 2, 1}, 2, {2, 2, 1}},
        {{1, 2, 2, 3, 0}, 4, {1, 2, 2, 3, 0}},
        {{3, 2, 1, 5}, 3, {1, 2, 3, 5}},
        {{3, 2, 2, 1}, 2, {2, 3, 2, 1}},
        {{5, 4, 3, 2, 1}, 5, {1, 2, 3, 4, 5}},
    };
    for (const Case& c : cases) {
        Table t(pair8, c.keys);
        Counter counter;
        uint8_t* start = t.bytes.data();
        uint8_t* end = sort::find_run(start, start + t.bytes.size(), 8, reinterpret_cast<intptr_t>(&pair8),
                                      reinterpret_cast<intptr_t>(&counter), by_key);
        EXPECT_EQ(end - start, c.run * 8) << ::testing::PrintToString(c.keys);
        EXPECT_EQ(keys_of(t.pairs()), c.after);
        // A run is found with one comparison per pair it spans, plus the
        // pair that ends it.
        int64_t pairs = c.keys.size() < 2 ? 0 : std::min<int64_t>(c.run, int64_t(c.keys.size()) - 1);
        EXPECT_EQ(counter.comparisons, pairs) << ::testing::PrintToString(c.keys);
    }
}

TEST(SortFindRun, RejectsRangesThatAreNotWholeRecords) {
    uint8_t buffer[16] = {};
    auto call = [&](uint8_t* start, uint8_t* end, int32_t width) {
        return raised([&] { sort::find_run(start, end, width, reinterpret_cast<intptr_t>(&pair8), 0, by_key); });
    };
    EXPECT_STREQ(call(buffer, buffer + 12, 8), "invalid-arg");
    EXPECT_STREQ(call(buffer + 8, buffer, 8), "invalid-arg");
    EXPECT_STREQ(call(buffer, buffer + 16, 0), "invalid-arg");
    EXPECT_EQ(call(buffer, buffer + 16, 8), nullptr);
}

// ------------------------------------------------------------- merge-runs

TEST(SortMergeRuns, EitherDirectionIsStableWithScratchForTheShorterRunOnly) {
    struct Case {
        std::vector<uint32_t> left, right;
    } cases[] = {
        {{1, 3, 3, 5}, {2, 3, 4}},        // right shorter: merged from the back
        {{3}, {1, 2, 3, 3, 4}},           // left shorter: from the front
        {{1, 1}, {1, 1}},                 // same length, all equal
        {{5, 6, 7}, {1, 2}},              // the right run goes wholly first
        {{1, 2}, {3, 4, 5}},              // already in order
        {{2, 4, 6, 8, 10}, {1, 4, 4, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.left) + " " + ::testing::PrintToString(c.right));
        std::vector<uint32_t> keys = c.left;
        keys.insert(keys.end(), c.right.begin(), c.right.end());
        Table t(pair8, keys);
        std::vector<KeyTag> expected = stable_reference(t.pairs());
        size_t shorter = std::min(c.left.size(), c.right.size());
        // Exactly the room of the shorter run, on the heap so that any
        // overrun shows under the address sanitizer.
        std::unique_ptr<uint8_t[]> scratch(new uint8_t[shorter * 8]);
        sort::CompareRecord record{8, reinterpret_cast<intptr_t>(&pair8), 0, by_key};
        uint8_t* base = t.bytes.data();
        sort::merge_runs(base, base + c.left.size() * 8, base + keys.size() * 8, scratch.get(), record);
        EXPECT_EQ(t.pairs(), expected);
    }
}

TEST(SortMergeRuns, EmptyRunsAndBadBoundsAreHandled) {
    Table t(pair8, {3, 1, 2});
    uint8_t* base = t.bytes.data();
    uint8_t scratch[24];
    sort::CompareRecord record{8, reinterpret_cast<intptr_t>(&pair8), 0, by_key};
    sort::merge_runs(base, base, base + 24, scratch, record);
    sort::merge_runs(base, base + 24, base + 24, scratch, record);
    EXPECT_EQ(keys_of(t.pairs()), (std::vector<uint32_t>{3, 1, 2}));
    EXPECT_STREQ(raised([&] { sort::merge_runs(base, base + 20, base + 24, scratch, record); }), "invalid-arg");
    EXPECT_STREQ(raised([&] { sort::merge_runs(base + 16, base + 8, base + 24, scratch, record); }), "invalid-arg");
}

// ------------------------------------------------------------- merge sort

TEST(SortMerge, StableOnEveryShapeAndSize) {
    for (Shape shape : all_shapes)
        for (size_t n : sizes) {
            SCOPED_TRACE(testing::Message() << "shape " << int(shape) << ", n " << n);
            Table t(pair8, make_keys(shape, n, uint32_t(n) * 31 + uint32_t(shape)));
            std::vector<KeyTag> expected = stable_reference(t.pairs());
            int32_t blocks = heap::block_count();
            t.sort_with(sort::merge);
            ASSERT_EQ(t.pairs(), expected);
            EXPECT_EQ(heap::block_count(), blocks);  // the scratch went back
        }
}

TEST(SortMerge, StableForOddWidthsAndCells) {
    for (const Layout* layout : {&odd3, &odd6, &cell16})
        for (size_t n : {2, 5, 24, 25, 100, 777, 5000}) {
            SCOPED_TRACE(testing::Message() << layout->name << ", n " << n);
            Table t(*layout, make_keys(Shape::random_few, n, uint32_t(n)));
            std::vector<KeyTag> expected = stable_reference(t.pairs());
            t.sort_with(sort::merge);
            ASSERT_EQ(t.pairs(), expected);
        }
}

TEST(SortMerge, NaturalRunsCostOneComparisonPerPair) {
    const size_t n = 1000;
    for (Shape shape : {Shape::ascending, Shape::descending, Shape::all_equal}) {
        Table t(pair8, make_keys(shape, n, 1));
        std::vector<KeyTag> expected = stable_reference(t.pairs());
        Counter counter;
        t.sort_with(sort::merge, &counter);
        EXPECT_EQ(t.pairs(), expected);
        EXPECT_EQ(counter.comparisons, int64_t(n) - 1) << int(shape);
    }
    // Equal neighbours in a falling sequence split it into runs, and the
    // equal records come out in their input order.
    Table t(pair8, {3, 2, 2, 1});
    t.sort_with(sort::merge);
    EXPECT_EQ(t.pairs(), (std::vector<KeyTag>{{1, 3}, {2, 1}, {2, 2}, {3, 0}}));
}

TEST(SortMerge, ComparisonsStayNearNLogN) {
    const size_t n = 100000;
    const double bound = 1.25 * double(n) * std::log2(double(n));
    for (Shape shape : all_shapes) {
        Table t(pair8, make_keys(shape, n, 5));
        Counter counter;
        t.sort_with(sort::merge, &counter);
        EXPECT_LE(double(counter.comparisons), bound) << int(shape);
    }
}

TEST(SortMerge, TooLongScratchRaisesBeforeAnythingMoves) {
    struct Case {
        int32_t n, width;
    } cases[] = {{4, 1 << 30}, {INT32_MAX, 3}, {5, INT32_MAX}, {INT32_MAX, INT32_MAX}, {0x10000, 0x10000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " x " << c.width);
        // Far smaller than the claimed size: touching beyond it would show
        // under the address sanitizer, touching within it in the bytes.
        std::vector<uint8_t> bytes(64);
        for (size_t i = 0; i < bytes.size(); i++) bytes[i] = uint8_t(255 - i);
        std::vector<uint8_t> before = bytes;
        Counter counter;
        int32_t blocks = heap::block_count();
        EXPECT_STREQ(raised([&] {
                         sort::merge(bytes.data(), c.n, c.width, reinterpret_cast<intptr_t>(&pair8),
                                     reinterpret_cast<intptr_t>(&counter), by_key);
                     }),
                     "too-long");
        EXPECT_EQ(bytes, before);
        EXPECT_EQ(counter.comparisons, 0);
        EXPECT_EQ(heap::block_count(), blocks);
    }
}

// ---------------------------------------------------------------- quicksort

TEST(SortQuick, OrdersLikeTheReferenceOnEveryShapeAndSize) {
    for (Shape shape : all_shapes)
        for (size_t n : sizes) {
            SCOPED_TRACE(testing::Message() << "shape " << int(shape) << ", n " << n);
            Table t(pair8, make_keys(shape, n, uint32_t(n) * 17 + uint32_t(shape)));
            std::vector<KeyTag> input = t.pairs();
            std::vector<uint32_t> expected = keys_of(input);
            std::sort(expected.begin(), expected.end());
            t.sort_with(sort::quick);
            std::vector<KeyTag> out = t.pairs();
            ASSERT_EQ(keys_of(out), expected);
            std::sort(out.begin(), out.end());
            std::sort(input.begin(), input.end());
            ASSERT_EQ(out, input);  // the same records, none lost or doubled
        }
}

TEST(SortQuick, OddWidthsAndCells) {
    for (const Layout* layout : {&odd3, &odd6, &cell16})
        for (size_t n : {2, 8, 100, 1000, 5000}) {
            SCOPED_TRACE(testing::Message() << layout->name << ", n " << n);
            Table t(*layout, make_keys(Shape::random_wide, n, uint32_t(n)));
            std::vector<KeyTag> input = t.pairs();
            std::vector<uint32_t> expected = keys_of(input);
            std::sort(expected.begin(), expected.end());
            t.sort_with(sort::quick);
            ASSERT_EQ(keys_of(t.pairs()), expected);
        }
}

TEST(SortQuick, PresortedInputIsOnlyScanned) {
    const size_t n = 10000;
    for (Shape shape : {Shape::ascending, Shape::descending, Shape::all_equal}) {
        Table t(pair8, make_keys(shape, n, 1));
        Counter counter;
        t.sort_with(sort::quick, &counter);
        std::vector<uint32_t> keys = keys_of(t.pairs());
        EXPECT_TRUE(std::is_sorted(keys.begin(), keys.end()));
        EXPECT_EQ(counter.comparisons, int64_t(n) - 1) << int(shape);
    }
}

// A lazy adversary: values are decided only when compared, so that every
// pivot turns out as bad as can be for a quicksort that does not guard
// itself. It stays a consistent order, so the result must still be sorted.
struct Adversary {
    std::vector<int32_t> value;
    int32_t gas;
    int32_t solid = 0;
    int32_t candidate = 0;
    int64_t comparisons = 0;
    explicit Adversary(int32_t n) : value(size_t(n), n), gas(n) {}
    void freeze(int32_t i) { value[size_t(i)] = solid++; }
};

int32_t adversary_compare(const void* x, const void* y, intptr_t adversary, intptr_t) {
    auto* a = reinterpret_cast<Adversary*>(adversary);
    a->comparisons++;
    int32_t i, j;
    std::memcpy(&i, x, 4);
    std::memcpy(&j, y, 4);
    if (a->value[size_t(i)] == a->gas && a->value[size_t(j)] == a->gas) a->freeze(i == a->candidate ? i : j);
    if (a->value[size_t(i)] == a->gas) a->candidate = i;
    else if (a->value[size_t(j)] == a->gas) a->candidate = j;
    int32_t d = a->value[size_t(i)] - a->value[size_t(j)];
    return d < 0 ? -1 : d > 0;
}

TEST(SortQuick, ComparisonsStayNearNLogNEvenAgainstAnAdversary) {
    const int32_t n = 100000;
    const double n_log_n = n * std::log2(double(n));
    // Ordinary shapes get good pivots; only an adversary may force the
    // slower way out.
    for (Shape shape : all_shapes) {
        Table t(pair8, make_keys(shape, size_t(n), 9));
        Counter counter;
        t.sort_with(sort::quick, &counter);
        EXPECT_LE(double(counter.comparisons), 1.5 * n_log_n) << int(shape);
    }
    const double bound = 6.0 * n_log_n;
    std::vector<int32_t> items(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; i++) items[size_t(i)] = i;
    Adversary adversary(n);
    // Straight to the partitioning: the pre-pass alone would settle it, as
    // the adversary's first answers make the input look ascending.
    sort::quick_step(items.data(), 0, n, 4, reinterpret_cast<intptr_t>(&adversary), 0, adversary_compare);
    EXPECT_LE(double(adversary.comparisons), bound);
    for (int32_t i = 1; i < n; i++)
        ASSERT_LE(adversary.value[size_t(items[size_t(i - 1)])], adversary.value[size_t(items[size_t(i)])]);
}

TEST(SortQuick, StepSortsWhateverPresortedCountItIsTold) {
    for (int32_t told : {-5, 0, 3, 50, 999, 1000, 5000}) {
        SCOPED_TRACE(told);
        std::vector<uint32_t> keys = make_keys(Shape::random_wide, 1000, 3);
        std::sort(keys.begin(), keys.begin() + 50);
        Table t(pair8, keys);
        sort::quick_step(t.base(), told, t.n(), 8, reinterpret_cast<intptr_t>(&pair8), 0, by_key);
        std::vector<uint32_t> out = keys_of(t.pairs());
        std::sort(keys.begin(), keys.end());
        EXPECT_EQ(out, keys);
    }
}

// ------------------------------------------------------- both sorts: misuse

TEST(SortArguments, FewRecordsReturnAtOnceBadArgumentsRaise) {
    const SortFn sorts[] = {sort::merge, sort::quick};
    auto quick_step = [](void* base, int32_t n, int32_t width, intptr_t a1, intptr_t a2, sort::Compare c) {
        sort::quick_step(base, 0, n, width, a1, a2, c);
    };
    std::vector<SortFn> all(std::begin(sorts), std::end(sorts));
    all.push_back(quick_step);
    for (SortFn fn : all) {
        uint8_t bytes[32] = {9, 8, 7, 6};
        intptr_t layout = reinterpret_cast<intptr_t>(&pair8);
        EXPECT_EQ(raised([&] { fn(nullptr, 0, 8, layout, 0, nullptr); }), nullptr);
        EXPECT_EQ(raised([&] { fn(bytes, 1, 0, layout, 0, nullptr); }), nullptr);
        EXPECT_STREQ(raised([&] { fn(bytes, -1, 8, layout, 0, by_key); }), "invalid-arg");
        EXPECT_STREQ(raised([&] { fn(bytes, 4, 0, layout, 0, by_key); }), "invalid-arg");
        EXPECT_STREQ(raised([&] { fn(bytes, 4, -8, layout, 0, by_key); }), "invalid-arg");
        EXPECT_STREQ(raised([&] { fn(bytes, 4, 8, layout, 0, nullptr); }), "invalid-arg");
        EXPECT_STREQ(raised([&] { fn(nullptr, 4, 8, layout, 0, by_key); }), "invalid-arg");
        EXPECT_EQ(bytes[0], 9);
    }
}

// Comparisons that contradict themselves: the sorts must stay within the
// records (or the merge's scratch) and end with the same records.
struct Liar {
    const uint8_t* base;
    size_t bytes;
    int32_t width;
    int kind;
    uint32_t state;
    bool strayed = false;

    bool inside(const void* p) const {
        auto* q = static_cast<const uint8_t*>(p);
        if (q >= base && q + width <= base + bytes) return (q - base) % width == 0;
        for (heap::Block* b = heap::list().head; b; b = b->next) {
            auto* data = reinterpret_cast<const uint8_t*>(b + 1);
            if (q >= data && q + width <= data + b->size) return (q - data) % width == 0;
        }
        return false;
    }
};

int32_t lying_compare(const void* x, const void* y, intptr_t liar, intptr_t) {
    auto* l = reinterpret_cast<Liar*>(liar);
    if (!l->inside(x) || !l->inside(y)) l->strayed = true;
    switch (l->kind) {
        case 0: l->state = l->state * 1664525u + 1013904223u; return int32_t(l->state >> 30) - 1;
        case 1: return 1;
        case 2: return -1;
        case 3: {  // rock, paper, scissors on the first byte
            int a = *static_cast<const uint8_t*>(x) % 3, b = *static_cast<const uint8_t*>(y) % 3;
            return a == b ? 0 : (a + 1) % 3 == b ? -1 : 1;
        }
        default: return x < y ? 1 : -1;  // by address, backwards
    }
}

TEST(SortArguments, InconsistentComparisonsNeverLeaveTheRecords) {
    const SortFn sorts[] = {sort::merge, sort::quick};
    for (SortFn fn : sorts)
        for (int kind = 0; kind < 5; kind++)
            for (int32_t width : {4, 6, 16})
                for (size_t n : {2, 7, 8, 25, 100, 1000, 5000}) {
                    SCOPED_TRACE(testing::Message() << "kind " << kind << ", width " << width << ", n " << n);
                    std::mt19937 rng(uint32_t(n) + uint32_t(kind));
                    // Exactly n records on the heap: a step past them shows
                    // under the address sanitizer.
                    size_t bytes = n * size_t(width);
                    std::unique_ptr<uint8_t[]> records(new uint8_t[bytes]);
                    for (size_t i = 0; i < bytes; i++) records[i] = uint8_t(rng());
                    std::vector<std::string> before;
                    for (size_t i = 0; i < n; i++)
                        before.emplace_back(reinterpret_cast<char*>(records.get()) + i * size_t(width), size_t(width));
                    Liar liar{records.get(), bytes, width, kind, uint32_t(n)};
                    fn(records.get(), int32_t(n), width, reinterpret_cast<intptr_t>(&liar), 0, lying_compare);
                    EXPECT_FALSE(liar.strayed);
                    std::vector<std::string> after;
                    for (size_t i = 0; i < n; i++)
                        after.emplace_back(reinterpret_cast<char*>(records.get()) + i * size_t(width), size_t(width));
                    std::sort(before.begin(), before.end());
                    std::sort(after.begin(), after.end());
                    ASSERT_EQ(after, before);
                }
}

// A comparison that raises a language error (values that cannot be
// compared) part way through.
struct Raiser {
    int64_t left;
};

int32_t raising_compare(const void* x, const void* y, intptr_t raiser, intptr_t) {
    auto* r = reinterpret_cast<Raiser*>(raiser);
    if (--r->left < 0) errors::raise(err::script::invalid_compare);
    return by_key(x, y, reinterpret_cast<intptr_t>(&pair8), 0);
}

TEST(SortArguments, ARaisingComparisonLeavesAPermutationAndNoScratch) {
    const SortFn sorts[] = {sort::merge, sort::quick};
    for (SortFn fn : sorts)
        for (Shape shape : {Shape::random_wide, Shape::mixed_runs, Shape::organ_pipe})
            for (int64_t after : {0, 1, 30, 200, 700, 1500, 2500}) {
                SCOPED_TRACE(testing::Message() << "shape " << int(shape) << ", raising after " << after);
                Table t(pair8, make_keys(shape, 300, 4));
                std::vector<KeyTag> input = t.pairs();
                Raiser raiser{after};
                int32_t blocks = heap::block_count();
                const char* id = raised([&] {
                    fn(t.base(), t.n(), 8, reinterpret_cast<intptr_t>(&raiser), 0, raising_compare);
                });
                if (raiser.left < 0) {
                    EXPECT_STREQ(id, "invalid-compare");
                } else {
                    EXPECT_EQ(id, nullptr);
                }
                EXPECT_EQ(heap::block_count(), blocks);
                std::vector<KeyTag> out = t.pairs();
                std::sort(out.begin(), out.end());
                std::sort(input.begin(), input.end());
                ASSERT_EQ(out, input);
            }
}

// ------------------------------------------------------- cells of a block

using SortCells = MemoryTest;

int32_t by_integer(const void* x, const void* y, intptr_t, intptr_t) {
    int32_t a = cell::get_integer(static_cast<const Cell*>(x)), b = cell::get_integer(static_cast<const Cell*>(y));
    return a < b ? -1 : a > b;
}

// The block is built and its garbage made with collections on, so its
// buffer moves; the sort takes the buffer only after the last allocation.
TEST_F(SortCells, SortsABlockWhoseBufferMoved) {
    gc::state.enabled = 1;
    const int32_t n = 3000;
    for (SortFn fn : {sort::merge, sort::quick}) {
        uint32_t node = memory::alloc_cells(4);
        gc::ProtectNode guard(&node);
        std::mt19937 rng(7);
        for (int32_t i = 0; i < n; i++) {
            memory::alloc_bytes(200);  // garbage between the cells
            Cell* c = series::alloc_tail_cell(node);
            cell::make_integer(c, int32_t(rng() % 50) - 25);
            c->w1 = uint32_t(i);
        }
        int32_t collections = gc::state.collections;
        SeriesBuffer* before = nodes::buffer(node);
        gc::collect();
        EXPECT_GT(gc::state.collections, collections);
        EXPECT_NE(nodes::buffer(node), before);

        SeriesBuffer* b = nodes::buffer(node);
        fn(b->head_ptr(), int32_t(b->count()), 16, 0, 0, by_integer);
        gc::collect();  // the sorted cells survive and move again

        Cell* cells = series::cells_mut(node);
        ASSERT_EQ(nodes::buffer(node)->count(), uint32_t(n));
        for (int32_t i = 1; i < n; i++) {
            ASSERT_LE(cell::get_integer(cells + i - 1), cell::get_integer(cells + i));
            ASSERT_EQ(cell::type(cells + i), type_integer);
            if (fn == sort::merge && cell::get_integer(cells + i - 1) == cell::get_integer(cells + i)) {
                ASSERT_LT(cells[i - 1].w1, cells[i].w1);
            }
        }
    }
}

}  // namespace

namespace {

// A comparison that runs a full collection each time, as a user function
// may: every block and string the sorted cells hold must survive, and the
// block's own buffer may move under the sort.
int32_t collecting_compare(const void* x, const void* y, intptr_t, intptr_t) {
    vum::gc::collect();
    vum::memory::alloc_bytes(64);  // garbage, and a reason to move
    auto* a = static_cast<const vum::Cell*>(x);
    auto* b = static_cast<const vum::Cell*>(y);
    int32_t ka = int32_t(vum::nodes::buffer(a->w2)->count());
    int32_t kb = int32_t(vum::nodes::buffer(b->w2)->count());
    return ka < kb ? -1 : ka > kb;
}


TEST_F(SortCells, CellsSurviveCollectionsDuringComparisons) {
    using namespace vum;
    Cell block;
    cell::make_series(&block, type_block, memory::alloc_cells(40));
    gc::Protect keep(&block);
    // Each cell holds the only reference to a block of k integers.
    const int32_t lengths[] = {5, 3, 9, 1, 3, 7, 2, 8, 3, 4, 6, 0};
    for (int32_t k : lengths) {
        uint32_t inner = integers(k);
        cell::make_series(series::alloc_tail_cell(block.w2), type_block, inner);
    }
    for (bool stable : {true, false}) {
        sort::cells(block.w2, 0, 12, stable, 0, 0, collecting_compare);
        Cell* c = series::cells_mut(block.w2);
        int32_t previous = -1;
        for (int i = 0; i < 12; i++) {
            int32_t k = int32_t(nodes::buffer(c[i].w2)->count());
            EXPECT_GE(k, previous);
            EXPECT_TRUE(holds_integers(c[i].w2, k));
            previous = k;
        }
    }
}

TEST_F(SortCells, CellsInMergeScratchStayVisible) {
    using namespace vum;
    // The records are the only holders of the inner blocks; while a merge
    // runs, some of them wait in its scratch.
    constexpr int32_t n = 64;
    Cell records[n];
    gc::Protect keep(records, n);
    for (int32_t i = 0; i < n; i++) cell::make_none(&records[i]);
    for (int32_t i = 0; i < n; i++) {
        int32_t k = (i * 37) % 11;
        cell::make_series(&records[i], type_block, integers(k));
    }
    sort::merge(records, n, 16, 0, 0, collecting_compare);
    for (int32_t i = 0; i < n; i++) {
        int32_t k = int32_t(nodes::buffer(records[i].w2)->count());
        EXPECT_TRUE(holds_integers(records[i].w2, k));
        if (i) {
            EXPECT_GE(k, int32_t(nodes::buffer(records[i - 1].w2)->count()));
        }
    }
}

}  // namespace
