#include "base/tracked-heap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/console-output.h"
#include "test-capture.h"

using namespace vum;

namespace {

// Every test runs on a list of its own, empty at the start, so the list's
// invariants can be checked from the ends; the process's own blocks are set
// aside meanwhile.
class TrackedHeap : public testing::Test {
protected:
    heap::List saved{};
    void SetUp() override {
        output::init();
        saved = heap::list();
        heap::list() = {nullptr, nullptr};
    }
    void TearDown() override {
        heap::free_all();
        heap::list() = saved;
    }

    static std::vector<int32_t> sizes() {
        std::vector<int32_t> out;
        for (heap::Block* b = heap::list().head; b; b = b->next) out.push_back(b->size);
        return out;
    }
    static void expect_linked_both_ways() {
        heap::Block* prev = nullptr;
        for (heap::Block* b = heap::list().head; b; b = b->next) {
            EXPECT_EQ(b->prev, prev);
            prev = b;
        }
        EXPECT_EQ(heap::list().tail, prev);
    }
};

TEST_F(TrackedHeap, BlocksJoinAtTheTailAndAreAligned) {
    void* a = heap::alloc(10);
    void* b = heap::alloc_zeroed(33);
    heap::alloc(0);
    EXPECT_EQ(sizes(), (std::vector<int32_t>{10, 33, 0}));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 16, 0u);
    auto* bytes = static_cast<unsigned char*>(b);
    for (int i = 0; i < 33; i++) EXPECT_EQ(bytes[i], 0);
    expect_linked_both_ways();
}

TEST_F(TrackedHeap, FreeFixesHeadTailAndNeighbours) {
    void* a = heap::alloc(1);
    void* b = heap::alloc(2);
    void* c = heap::alloc(3);
    heap::free(b);
    EXPECT_EQ(sizes(), (std::vector<int32_t>{1, 3}));
    expect_linked_both_ways();
    heap::free(a);
    EXPECT_EQ(sizes(), (std::vector<int32_t>{3}));
    expect_linked_both_ways();
    heap::free(c);
    EXPECT_EQ(heap::list().head, nullptr);
    EXPECT_EQ(heap::list().tail, nullptr);
}

TEST_F(TrackedHeap, UnknownPointerIsIgnored) {
    heap::alloc(4);
    int local = 0;
    heap::free(&local);
    heap::free(nullptr);
    EXPECT_EQ(heap::block_count(), 1);
}

TEST_F(TrackedHeap, ReallocKeepsPlaceAndContents) {
    heap::alloc(1);
    auto* p = static_cast<char*>(heap::alloc(8));
    heap::alloc(3);
    std::memcpy(p, "abcdefg", 8);
    // Large enough that the block is likely to move.
    p = static_cast<char*>(heap::realloc(p, 1 << 20));
    EXPECT_STREQ(p, "abcdefg");
    EXPECT_EQ(sizes(), (std::vector<int32_t>{1, 1 << 20, 3}));
    expect_linked_both_ways();
    p = static_cast<char*>(heap::realloc(p, 4));
    EXPECT_EQ(std::memcmp(p, "abcd", 4), 0);
    heap::free_all();
    EXPECT_EQ(heap::block_count(), 0);
}

TEST_F(TrackedHeap, ReallocOfNullAllocatesAndOfZeroFrees) {
    void* p = heap::realloc(nullptr, 12);
    EXPECT_EQ(sizes(), (std::vector<int32_t>{12}));
    EXPECT_EQ(heap::realloc(p, 0), nullptr);
    EXPECT_EQ(heap::block_count(), 0);
}

TEST_F(TrackedHeap, DumpListsAskedAndRealSizes) {
    std::string empty = capture_output([] { heap::dump(); });
    EXPECT_EQ(empty, "-- Heap-allocations --\nAsked   Real\n-- Sum: 0 --\n");
    heap::alloc(10);
    heap::alloc(20);
    std::string h10 = std::to_string(10 + heap::header_size);
    std::string h20 = std::to_string(20 + heap::header_size);
    std::string sum = std::to_string(30 + 2 * heap::header_size);
    EXPECT_EQ(capture_output([] { heap::dump(); }),
              "-- Heap-allocations --\nAsked   Real\n10\t" + h10 + "\n20\t" + h20 + "\n-- Sum: " + sum + " --\n");
}

}  // namespace
