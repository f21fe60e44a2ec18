#include "base/handle-registry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "base/tracked-heap.h"

using namespace vum;
namespace hr = vum::handle_registry;

namespace {

// (kind, data) of every finalizer call, in call order.
std::vector<std::pair<int, void*>> finalized;

template <int K>
void finalizer(void* data) {
    finalized.emplace_back(K, data);
}

// The registry never looks behind its data pointers, so made-up ones do.
void* fake(int n) { return reinterpret_cast<void*>(uintptr_t(0x10000 + 16 * n)); }

std::vector<int32_t> live_order() {
    std::vector<int32_t> out;
    for (int32_t i = hr::live_head(); i != hr::end_of_list; i = hr::slots()[i].next) out.push_back(i);
    return out;
}

// Every slot sits on exactly one of the two lists, free slots look free, live
// ones look live, and the free list is not empty.
testing::AssertionResult lists_are_sound() {
    const hr::HandleSlot* s = hr::slots();
    std::vector<int> seen(size_t(hr::capacity()), 0);
    auto walk = [&](int32_t head, bool free, int32_t& length) -> testing::AssertionResult {
        length = 0;
        for (int32_t i = head; i != hr::end_of_list; i = s[i].next) {
            if (i < 0 || i >= hr::capacity()) return testing::AssertionFailure() << "index " << i << " out of range";
            if (seen[size_t(i)]++) return testing::AssertionFailure() << "slot " << i << " linked twice";
            if (free && (s[i].kind_word != hr::free_word || s[i].data))
                return testing::AssertionFailure() << "free slot " << i << " holds something";
            if (!free && (s[i].kind_word & hr::free_word))
                return testing::AssertionFailure() << "live slot " << i << " has the free word";
            length++;
        }
        return testing::AssertionSuccess();
    };
    int32_t free_length = 0, live_length = 0;
    if (auto r = walk(hr::free_head(), true, free_length); !r) return r;
    if (auto r = walk(hr::live_head(), false, live_length); !r) return r;
    if (free_length == 0) return testing::AssertionFailure() << "free list empty";
    if (free_length + live_length != hr::capacity())
        return testing::AssertionFailure() << (hr::capacity() - free_length - live_length) << " slots on no list";
    return testing::AssertionSuccess();
}

class HandleRegistry : public testing::Test {
protected:
    int32_t image = 0, font = 0, plain = 0;
    void SetUp() override {
        hr::init();
        finalized.clear();
        image = hr::register_kind("image", finalizer<1>);
        font = hr::register_kind("font", finalizer<2>);
        plain = hr::register_kind("plain", nullptr);
    }
    void TearDown() override { hr::init(); }
};

using F = std::vector<std::pair<int, void*>>;

TEST_F(HandleRegistry, InitChainsAllSlotsFreeAndReinitHoldsNoMoreBlocks) {
    EXPECT_EQ(hr::capacity(), hr::initial_capacity);
    EXPECT_EQ(hr::free_head(), 0);
    EXPECT_EQ(hr::live_head(), hr::end_of_list);
    for (int32_t i = 0; i < hr::capacity(); i++) {
        ASSERT_EQ(hr::slots()[i].next, i + 1 < hr::capacity() ? i + 1 : hr::end_of_list) << i;
        ASSERT_EQ(hr::slots()[i].kind_word, hr::free_word) << i;
    }

    // Starting over after growth drops the handles, the kinds and the old
    // tables alike.
    int32_t blocks = heap::block_count();
    for (int i = 0; i < 1500; i++) hr::add(fake(i), image);
    hr::init();
    EXPECT_EQ(heap::block_count(), blocks);
    EXPECT_EQ(hr::capacity(), hr::initial_capacity);
    EXPECT_EQ(hr::live_count(), 0);
    EXPECT_EQ(hr::kind_count(), 0);
    EXPECT_TRUE(lists_are_sound());
    EXPECT_TRUE(finalized.empty());
}

TEST_F(HandleRegistry, KindsAreNumberedFromOneAndCappedAtTwenty) {
    hr::init();
    static const char tags[hr::max_kinds + 1][4] = {};
    for (int32_t k = 1; k <= hr::max_kinds; k++) ASSERT_EQ(hr::register_kind(tags[k - 1], finalizer<1>), k);
    EXPECT_EQ(hr::register_kind(tags[hr::max_kinds], finalizer<2>), 0);
    EXPECT_EQ(hr::kind_count(), hr::max_kinds);
    EXPECT_EQ(hr::kind(hr::max_kinds + 1), nullptr);
    EXPECT_EQ(hr::kind(0), nullptr);
    // The tag is kept by address, not copied.
    EXPECT_EQ(hr::kind(7)->tag, tags[6]);
    EXPECT_EQ(hr::kind(hr::max_kinds)->finalizer, finalizer<1>);
}

TEST_F(HandleRegistry, ArrayDoublesBeforeTheLastFreeSlotIsHandedOut) {
    for (int32_t n = 0; n < 8001; n++) {
        ASSERT_EQ(hr::add(fake(n), n % 2 ? image : font), n);
        // Growth happens exactly when the taken slot was the last free one,
        // so after n + 1 adds the capacity is the first doubling above it.
        int32_t expected = hr::initial_capacity;
        while (expected <= n + 1) expected *= 2;
        ASSERT_EQ(hr::capacity(), expected) << "after " << n + 1 << " adds";
    }
    for (int32_t n = 0; n < 8001; n++) {
        ASSERT_EQ(hr::data(n), fake(n));
        ASSERT_EQ(hr::kind_of(n), n % 2 ? image : font);
    }
    EXPECT_EQ(hr::live_count(), 8001);
    EXPECT_TRUE(lists_are_sound());
    EXPECT_TRUE(finalized.empty());
}

TEST_F(HandleRegistry, FreeListKeepsOneSlotAtTheEdgeOfGrowth) {
    for (int i = 0; i < 999; i++) hr::add(fake(i), image);
    EXPECT_EQ(hr::capacity(), 1000);
    EXPECT_EQ(hr::free_head(), 999);
    EXPECT_EQ(hr::slots()[999].next, hr::end_of_list);
    EXPECT_EQ(hr::add(fake(999), image), 999);
    EXPECT_EQ(hr::capacity(), 2000);
    EXPECT_EQ(hr::free_head(), 1000);
    EXPECT_TRUE(lists_are_sound());
}

TEST_F(HandleRegistry, UnmarkedSweepFinalizesEachOnceAndReusesLastFreedFirst) {
    for (int i = 0; i < 6; i++) hr::add(fake(i), i % 3 == 0 ? image : i % 3 == 1 ? font : plain);
    hr::sweep();
    // Newest first; the kind without finalizer is freed silently.
    EXPECT_EQ(finalized, (F{{2, fake(4)}, {1, fake(3)}, {2, fake(1)}, {1, fake(0)}}));
    EXPECT_EQ(hr::live_count(), 0);
    for (int i = 0; i < 6; i++) EXPECT_FALSE(hr::is_live(i));
    EXPECT_TRUE(lists_are_sound());

    // Slot 0 was freed last, so it comes back first.
    EXPECT_EQ(hr::add(fake(10), image), 0);
    EXPECT_EQ(hr::add(fake(11), image), 1);
    hr::sweep();
    hr::sweep();
    EXPECT_EQ(finalized.size(), 6u);
}

TEST_F(HandleRegistry, MarkedSlotsSurviveOneSweepUnmarked) {
    for (int i = 0; i < 5; i++) hr::add(fake(i), image);
    EXPECT_EQ(hr::mark(1, nullptr), 1);
    EXPECT_EQ(hr::mark(1, nullptr), 0);
    EXPECT_EQ(hr::mark(3, fake(33)), 1);
    EXPECT_EQ(hr::mark(3, fake(34)), 0);
    EXPECT_EQ(hr::data(3), fake(34));  // replaced by mark, even when marked...
    EXPECT_TRUE(finalized.empty());    // ...without finalizing the old data

    hr::sweep();
    EXPECT_EQ(finalized, (F{{1, fake(4)}, {1, fake(2)}, {1, fake(0)}}));
    EXPECT_EQ(live_order(), (std::vector<int32_t>{3, 1}));
    EXPECT_EQ(hr::slots()[1].kind_word, uint32_t(image));
    EXPECT_EQ(hr::slots()[3].kind_word, uint32_t(image));
    EXPECT_TRUE(lists_are_sound());

    // The next collection starts unmarked: one mark keeps 1, 3 goes.
    finalized.clear();
    EXPECT_EQ(hr::mark(1, nullptr), 1);
    hr::sweep();
    EXPECT_EQ(finalized, (F{{1, fake(34)}}));
    EXPECT_EQ(live_order(), (std::vector<int32_t>{1}));
    EXPECT_TRUE(lists_are_sound());
}

TEST_F(HandleRegistry, KindIdKeepsToTheLowByte) {
    int32_t h = hr::add(fake(1), int32_t(hr::free_word | hr::mark_bit) | image);
    EXPECT_TRUE(hr::is_live(h));
    EXPECT_EQ(hr::kind_of(h), image);
    EXPECT_EQ(hr::mark(h, nullptr), 1);
    EXPECT_TRUE(lists_are_sound());
}

TEST_F(HandleRegistry, MarkIgnoresSlotsThatAreNotLive) {
    int32_t h = hr::add(fake(1), image);
    hr::release(h, false);
    for (int32_t index : {h, 5, -1, hr::capacity()}) {
        EXPECT_EQ(hr::mark(index, fake(9)), 0) << index;
    }
    EXPECT_EQ(hr::data(h), nullptr);
    EXPECT_TRUE(lists_are_sound());
}

TEST_F(HandleRegistry, SetDataFinalizesOnlyReplacedData) {
    struct Case {
        const char* what;
        int32_t kind;
        bool live;
        void* replacement;
        F expected;
        void* stored;
    };
    const Case cases[] = {
        {"same pointer", 1, true, fake(1), {}, fake(1)},
        {"new pointer", 1, true, fake(2), {{1, fake(1)}}, fake(2)},
        {"to null", 2, true, nullptr, {{2, fake(1)}}, nullptr},
        {"kind without finalizer", 3, true, fake(2), {}, fake(2)},
        {"released slot", 1, false, fake(2), {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hr::init();
        hr::register_kind("image", finalizer<1>);
        hr::register_kind("font", finalizer<2>);
        hr::register_kind("plain", nullptr);
        hr::add(fake(0), 1);
        int32_t h = hr::add(fake(1), c.kind);
        if (!c.live) hr::release(h, false);
        finalized.clear();
        hr::set_data(h, c.replacement);
        EXPECT_EQ(finalized, c.expected);
        EXPECT_EQ(hr::data(h), c.stored);
        EXPECT_TRUE(lists_are_sound());
    }
}

TEST_F(HandleRegistry, ReleaseUnlinksAnyPositionAndFreesTheSlot) {
    struct Case {
        int32_t index;  // live list is 4 3 2 1 0
        bool finalize;
        std::vector<int32_t> rest;
    };
    const Case cases[] = {
        {4, true, {3, 2, 1, 0}},   // head
        {2, false, {4, 3, 1, 0}},  // middle
        {0, true, {4, 3, 2, 1}},   // tail
        {1, false, {4, 3, 2, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.index);
        hr::init();
        hr::register_kind("image", finalizer<1>);
        for (int i = 0; i < 5; i++) hr::add(fake(i), 1);
        finalized.clear();
        hr::release(c.index, c.finalize);
        EXPECT_EQ(finalized, (c.finalize ? F{{1, fake(c.index)}} : F{}));
        EXPECT_EQ(live_order(), c.rest);
        EXPECT_FALSE(hr::is_live(c.index));
        EXPECT_EQ(hr::free_head(), c.index);
        EXPECT_TRUE(lists_are_sound());
        EXPECT_EQ(hr::add(fake(7), 1), c.index);
    }
}

TEST_F(HandleRegistry, ReleaseOfAFreeSlotOrBadIndexChangesNothing) {
    hr::add(fake(0), image);
    int32_t h = hr::add(fake(1), image);
    hr::add(fake(2), image);
    hr::release(h, true);
    finalized.clear();
    int32_t free_before = hr::free_head();
    for (int32_t index : {h, 50, -1, hr::capacity(), INT32_MAX}) hr::release(index, true);
    EXPECT_TRUE(finalized.empty());
    EXPECT_EQ(hr::free_head(), free_before);
    EXPECT_EQ(live_order(), (std::vector<int32_t>{2, 0}));
    EXPECT_TRUE(lists_are_sound());
}

std::vector<void*> visited;
void visit(void* data) { visited.push_back(data); }
void visit_and_release(void* data) {
    visited.push_back(data);
    for (int32_t i = hr::live_head(); i != hr::end_of_list; i = hr::slots()[i].next)
        if (hr::slots()[i].data == data) return hr::release(i, true);
}

TEST_F(HandleRegistry, ForEachOfKindVisitsNewestFirstAndSurvivesRelease) {
    visited.clear();
    hr::for_each_of_kind(image, visit);
    EXPECT_TRUE(visited.empty());

    for (int i = 0; i < 6; i++) hr::add(fake(i), i % 2 ? font : image);
    hr::for_each_of_kind(plain, visit);
    EXPECT_TRUE(visited.empty());
    hr::for_each_of_kind(font, visit);
    EXPECT_EQ(visited, (std::vector<void*>{fake(5), fake(3), fake(1)}));

    visited.clear();
    hr::for_each_of_kind(image, visit_and_release);
    EXPECT_EQ(visited, (std::vector<void*>{fake(4), fake(2), fake(0)}));
    EXPECT_EQ(finalized, (F{{1, fake(4)}, {1, fake(2)}, {1, fake(0)}}));
    EXPECT_EQ(live_order(), (std::vector<int32_t>{5, 3, 1}));
    EXPECT_TRUE(lists_are_sound());
}

TEST_F(HandleRegistry, FinalizeFindsTheKindInTheLowByteOnly) {
    struct Case {
        uint32_t word;
        F expected;
    };
    const Case cases[] = {
        {1, {{1, fake(5)}}},
        {2 | hr::mark_bit, {{2, fake(5)}}},
        {0x0100 | 1, {{1, fake(5)}}},
        {0, {}},
        {3, {}},     // registered without finalizer
        {4, {}},     // not registered
        {0xFF, {}},  // beyond the table
        {hr::free_word, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        finalized.clear();
        hr::finalize_data(c.word, fake(5));
        EXPECT_EQ(finalized, c.expected);
    }

    // finalize_slot leaves the slot as it was; free slots and bad indexes do
    // nothing.
    finalized.clear();
    int32_t h = hr::add(fake(6), font);
    hr::finalize_slot(h);
    hr::finalize_slot(h + 1);
    hr::finalize_slot(-1);
    hr::finalize_slot(hr::capacity());
    EXPECT_EQ(finalized, (F{{2, fake(6)}}));
    EXPECT_TRUE(hr::is_live(h));
    EXPECT_EQ(hr::data(h), fake(6));
}

// A finalizer that opens a new handle while the sweep runs.
int32_t added_by_finalizer = -1;
void finalizer_that_adds(void* data) {
    finalized.emplace_back(9, data);
    added_by_finalizer = hr::add(fake(100), 1);
}

TEST_F(HandleRegistry, SweepFollowsTheListWhenAFinalizerAddsHandles) {
    hr::init();
    hr::register_kind("image", finalizer<1>);
    int32_t adder = hr::register_kind("adder", finalizer_that_adds);
    for (int i = 0; i < 4; i++) hr::add(fake(i), i == 2 ? adder : 1);
    hr::sweep();
    // Slot 2 was reused at once by the finalizer's handle, which now heads
    // the list in front of slots 1 and 0 still to be swept; it outlives this
    // sweep.
    EXPECT_EQ(finalized, (F{{1, fake(3)}, {9, fake(2)}, {1, fake(1)}, {1, fake(0)}}));
    EXPECT_EQ(added_by_finalizer, 2);
    EXPECT_EQ(live_order(), (std::vector<int32_t>{2}));
    EXPECT_EQ(hr::data(2), fake(100));
    EXPECT_TRUE(lists_are_sound());
}

}  // namespace
