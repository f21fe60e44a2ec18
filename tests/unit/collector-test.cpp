#include "memory/collector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/handle-registry.h"
#include "memory-fixture.h"
#include "memory/memory-manager.h"
#include "memory/series.h"

using namespace vum;

namespace {

using Collector = MemoryTest;

int64_t resident_bytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return int64_t(resident) * sysconf(_SC_PAGESIZE);
}

TEST_F(Collector, DisabledNeverCollects) {
    int32_t before = gc::state.collections;
    for (int i = 0; i < 3000; i++) memory::alloc_bytes(1000);
    EXPECT_EQ(gc::state.collections, before);
    EXPECT_GE(memory::series_frame_count(), 2);
}

TEST_F(Collector, ReachableSurvivesAndMovesUnreachableGoes) {
    uint32_t garbage = integers(50);
    Cell kept;
    cell::make_series(&kept, type_block, integers(50));
    gc::Protect root(&kept);
    SeriesBuffer* before = nodes::buffer(kept.w2);
    int32_t live = memory::live_nodes();
    gc::collect();
    EXPECT_TRUE(holds_integers(kept.w2, 50));
    EXPECT_NE(nodes::buffer(kept.w2), before);  // slid into the garbage's place
    EXPECT_EQ(memory::live_nodes(), live - 1);
    EXPECT_EQ(nodes::buffer(garbage) == nullptr || (reinterpret_cast<uintptr_t>(nodes::buffer(garbage)) & 1), true);
    EXPECT_FALSE(nodes::buffer(kept.w2)->flags & series_flags::mark);
}

// A Local is its own root for its scope: what it holds when a collection
// comes survives (also after assigning it another cell), and leaving the
// scope takes it off the guard list so its last value can go.
TEST_F(Collector, LocalGuardsItsCellForItsScope) {
    gc::Protect* outer = gc::Protect::innermost;
    Cell first;
    cell::make_series(&first, type_block, integers(30));
    {
        gc::Local v(first);
        gc::collect();
        EXPECT_TRUE(holds_integers(v.w2, 30));
        EXPECT_EQ(memory::live_nodes(), 1);
        Cell second;
        cell::make_series(&second, type_block, integers(40));
        v = second;
        gc::collect();
        EXPECT_EQ(memory::live_nodes(), 1);  // the first block went with the assignment
        EXPECT_TRUE(holds_integers(static_cast<Cell*>(&v)->w2, 40));
    }
    EXPECT_EQ(gc::Protect::innermost, outer);
    gc::collect();
    EXPECT_EQ(memory::live_nodes(), 0);
}

TEST_F(Collector, NestedValuesOfEveryFamilyAreMarked) {
    // A block holding a string with a second node, a word bound to a
    // context (with its word table and values), an object, a map and a
    // handle, built cell by cell the way the datatypes lay them out.
    uint32_t text = memory::alloc_bytes(10), text2 = memory::alloc_bytes(10);
    uint32_t values = integers(3);
    uint32_t words = memory::alloc_cells(1);
    uint32_t states = memory::alloc_bytes(4), buckets = memory::alloc_bytes(16);
    uint32_t table = memory::alloc_bytes(44);
    auto* record = reinterpret_cast<uint32_t*>(series::alloc_tail_bytes(table, 44));
    std::memset(record, 0, 44);
    record[3] = states;
    record[4] = buckets;
    record[5] = words;
    record[9] = 2;
    uint32_t context = memory::alloc_cells(2);
    Cell* ctx = series::alloc_tail_cell(context);
    *ctx = {type_context, table, values, 0};
    cell::make_unset(series::alloc_tail_cell(context));
    uint32_t owned_block = integers(2);
    cell::make_series(series::cells_mut(values) + 1, type_block, owned_block);
    uint32_t map_cells = integers(4);
    uint32_t map_table = memory::alloc_bytes(44);
    auto* map_record = reinterpret_cast<uint32_t*>(series::alloc_tail_bytes(map_table, 44));
    std::memset(map_record, 0, 44);
    map_record[9] = 1;
    int32_t kind = handle_registry::register_kind("test", nullptr);
    int32_t slot = handle_registry::add(reinterpret_cast<void*>(0x10), kind);

    uint32_t outer = memory::alloc_cells(8);
    *series::alloc_tail_cell(outer) = {type_string, 0, text, text2};
    *series::alloc_tail_cell(outer) = {type_word, context, 7, 0};
    *series::alloc_tail_cell(outer) = {type_object, context, 1, 0};
    *series::alloc_tail_cell(outer) = {type_map, 0, map_cells, map_table};
    *series::alloc_tail_cell(outer) = {type_handle, 0, 0, uint32_t(slot)};
    uint32_t keep[] = {text, text2, values, words, states, buckets, table, context, owned_block, map_cells, map_table, outer};

    uint32_t garbage = integers(10);
    (void)garbage;
    int32_t live = memory::live_nodes();
    gc::ProtectNode root(&outer);
    for (int round = 0; round < 3; round++) gc::collect();
    EXPECT_EQ(memory::live_nodes(), live - 1);
    for (uint32_t n : keep) EXPECT_TRUE(nodes::buffer(n)->flags & series_flags::in_use) << n;
    EXPECT_TRUE(holds_integers(values, 3) == false);  // cell 1 now holds the block
    EXPECT_TRUE(holds_integers(owned_block, 2));
    EXPECT_TRUE(holds_integers(map_cells, 4));
    EXPECT_TRUE(handle_registry::is_live(slot));
}

int finalized = 0;
void count_finalize(void*) { finalized++; }

TEST_F(Collector, UnreachableHandleIsFinalizedOnce) {
    int32_t kind = handle_registry::register_kind("test", count_finalize);
    int32_t slot = handle_registry::add(reinterpret_cast<void*>(0x20), kind);
    finalized = 0;
    Cell h = {type_handle, 0, 0, uint32_t(slot)};
    {
        gc::Protect root(&h);
        gc::collect();
        EXPECT_EQ(finalized, 0);
    }
    gc::collect();
    gc::collect();
    EXPECT_EQ(finalized, 1);
    EXPECT_FALSE(handle_registry::is_live(slot));
}

TEST_F(Collector, DeadFrameEmptiesOrIsReleased) {
    for (int i = 0; i < 30; i++) memory::alloc_bytes(100000);  // two frames
    ASSERT_GE(memory::series_frame_count(), 2);
    gc::collect();
    EXPECT_EQ(memory::series_frame_count(), 1);
    memory::SeriesFrame* last = memory::root.series_frames_head;
    EXPECT_EQ(last->free, last->data_start());
}

TEST_F(Collector, DeepNestingIsMarkedWithoutRecursion) {
    constexpr int depth = 100000;
    Cell top;
    cell::make_series(&top, type_block, memory::alloc_cells(1));
    {
        gc::Protect root(&top);
        uint32_t inner = top.w2;
        for (int i = 0; i < depth; i++) {
            uint32_t next = memory::alloc_cells(1);
            cell::make_series(series::alloc_tail_cell(inner), type_block, next);
            inner = next;
        }
        int32_t live = memory::live_nodes();
        gc::collect();
        EXPECT_EQ(memory::live_nodes(), live);
        // Walk down: every level is still there.
        uint32_t at = top.w2;
        int levels = 0;
        while (nodes::buffer(at)->count() == 1) {
            at = series::cells_head(at)->w2;
            levels++;
        }
        EXPECT_EQ(levels, depth);
    }
    gc::collect();
    EXPECT_EQ(memory::live_nodes(), 0);
}

TEST_F(Collector, ShortLivedSeriesStayWithinBoundedMemory) {
    if (gc::torture()) GTEST_SKIP() << "a collection per allocation is too slow for ten million";
    gc::state.enabled = 1;
    // Growth is measured: what the process holds before (the libraries the
    // test program links, the sanitizers' shadow of them) is not the heap's.
    int64_t before = resident_bytes();
    int64_t peak = before;
    Cell kept;
    cell::make_series(&kept, type_block, integers(10));
    gc::Protect root(&kept);
    for (int i = 0; i < 10000000; i++) {
        uint32_t n = memory::alloc_cells(2);
        cell::make_integer(series::alloc_tail_cell(n), i);
        if (i % 500000 == 0) peak = std::max(peak, resident_bytes());
    }
    peak = std::max(peak, resident_bytes());
    // Ten million kept buffers would take 480 MB; the sanitizers' own
    // bookkeeping adds a few MB to the resident set.
    EXPECT_LT(peak - before, int64_t(VUM_SANITIZED ? 96 : 64) << 20);
    EXPECT_GT(gc::state.collections, 10);
    EXPECT_TRUE(holds_integers(kept.w2, 10));
}

TEST_F(Collector, GrowingLiveSetIsNotMarkedForEveryNewFrame) {
    if (gc::torture()) GTEST_SKIP() << "torture collects at every allocation";
    gc::state.enabled = 1;
    Cell kept;
    cell::make_series(&kept, type_block, memory::alloc_cells(16));
    gc::Protect root(&kept);
    // 64 MB that all stay live, in 32 frames' worth of buffers: the heap
    // doubles between collections instead of collecting per frame.
    for (int i = 0; i < 640; i++) {
        uint32_t n = memory::alloc_bytes(100000);
        cell::make_series(series::alloc_tail_cell(kept.w2), type_binary, n);
    }
    EXPECT_LE(gc::state.collections, 6);
    EXPECT_EQ(nodes::buffer(kept.w2)->count(), 640u);
}

TEST_F(Collector, TortureMovesEveryLiveBuffer) {
    gc::set_torture(1);
    gc::state.enabled = 1;
    Cell a, b;
    cell::make_series(&a, type_block, integers(20));
    gc::Protect root_a(&a);
    SeriesBuffer* first = nodes::buffer(a.w2);
    cell::make_series(&b, type_block, integers(20));  // each allocation collects
    gc::Protect root_b(&b);
    EXPECT_NE(nodes::buffer(a.w2), first);
    EXPECT_TRUE(holds_integers(a.w2, 20));
    EXPECT_TRUE(holds_integers(b.w2, 20));
    gc::set_torture(saved_torture);
}

TEST_F(Collector, MarkCallbacksAddRoots) {
    static uint32_t extra = 0;
    extra = integers(5);
    auto callback = [] { gc::mark_series_cells(extra); };
    gc::add_mark_callback(callback);
    gc::collect();
    EXPECT_TRUE(holds_integers(extra, 5));
    gc::remove_mark_callback(callback);
    gc::collect();
    EXPECT_EQ(memory::live_nodes(), 0);
}

}  // namespace
