#include "memory/memory-manager.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "base/system-throw.h"
#include "memory-fixture.h"
#include "memory/raise-error.h"
#include "memory/series.h"

using namespace vum;

namespace {

using MemoryManager = MemoryTest;


TEST(Cell, LayoutAndHeaderBits) {
    EXPECT_EQ(sizeof(Cell), 16u);
    Cell c{};
    cell::make_integer(&c, 5);
    c.header |= cell::flag_new_line;
    cell::set_type(&c, type_float);
    EXPECT_EQ(cell::type(&c), type_float);
    EXPECT_TRUE(cell::has_new_line(&c));
    cell::clear_new_line(&c);
    EXPECT_EQ(c.header, uint32_t(type_float));
    cell::set_double(&c, -0.1);
    EXPECT_EQ(cell::get_double(&c), -0.1);
    Cell d{};
    EXPECT_EQ(cell::copy(&c, &d), &d);
    EXPECT_EQ(std::memcmp(&c, &d, 16), 0);
}

TEST_F(MemoryManager, BufferHeadsAndRoom) {
    struct Case {
        int32_t count, unit, offset;
        uint32_t size, head;
    } cases[] = {
        {4, 16, -1, 64, 32},  // centred
        {3, 16, -1, 48, 16},  // centred on a whole cell
        {0, 1, 0, 0, 0},
        {5, 1, 0, 16, 0},
        {17, 1, 4, 32, 4},
        {3, 4, 0, 16, 0},
    };
    for (const Case& c : cases) {
        SeriesBuffer* b = memory::alloc_buffer(c.count, c.unit, c.offset);
        EXPECT_EQ(b->size, c.size);
        EXPECT_EQ(b->head, c.head);
        EXPECT_EQ(b->tail, c.head);
        EXPECT_EQ(b->unit(), uint32_t(c.unit));
        EXPECT_EQ(bool(b->flags & series_flags::centred), c.offset == -1);
        EXPECT_TRUE(b->flags & series_flags::in_use);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(b->data()) % 16, 0u);
    }
    EXPECT_EQ(nodes::buffer(memory::alloc_bytes(0))->size, 16u);
    EXPECT_EQ(nodes::buffer(memory::alloc_units(0, 4))->size, 16u);  // room for 4 units
    EXPECT_EQ(nodes::buffer(memory::alloc_units(0, 2))->size, 16u);
    uint32_t unset = memory::alloc_cells_unset(2);
    SeriesBuffer* b = nodes::buffer(unset);
    EXPECT_EQ(b->count(), 0u);
    EXPECT_EQ(reinterpret_cast<Cell*>(b->data())[1].header, uint32_t(type_unset));
    uint32_t filled = memory::alloc_bytes_filled(20, 0xAA);
    EXPECT_EQ(nodes::buffer(filled)->data()[31], 0xAA);
}

TEST_F(MemoryManager, FullBlockDoublesOnTailCell) {
    uint32_t node = memory::alloc_cells(2);
    series::alloc_tail_cell(node);
    series::alloc_tail_cell(node);
    SeriesBuffer* old = nodes::buffer(node);
    EXPECT_EQ(old->size, 32u);
    Cell* c = series::alloc_tail_cell(node);
    SeriesBuffer* grown = nodes::buffer(node);
    EXPECT_NE(grown, old);
    EXPECT_EQ(grown->size, 64u);
    EXPECT_EQ(grown->count(), 3u);
    EXPECT_EQ(grown->node, node);
    EXPECT_EQ(old->node, 0u);
    EXPECT_FALSE(old->flags & series_flags::in_use);
    EXPECT_EQ(cell::type(c), type_unset);
    EXPECT_TRUE(holds_integers(integers(100), 100));
}

TEST_F(MemoryManager, EmptyBlockGrowsOnItsFirstCell) {
    uint32_t node = memory::alloc_cells(0);
    EXPECT_EQ(nodes::buffer(node)->size, 0u);
    cell::make_integer(series::alloc_tail_cell(node), 0);
    EXPECT_TRUE(holds_integers(node, 1));
}

TEST_F(MemoryManager, TailBytesGrowth) {
    uint32_t node = memory::alloc_bytes(16);
    std::memcpy(series::alloc_tail_bytes(node, 10), "0123456789", 10);
    // More than the whole size: 2n.
    series::alloc_tail_bytes(node, 40);
    EXPECT_EQ(nodes::buffer(node)->size, 80u);
    // Less than the size but past the end: twice the size.
    series::alloc_tail_bytes(node, 40);
    EXPECT_EQ(nodes::buffer(node)->size, 160u);
    EXPECT_EQ(std::memcmp(nodes::buffer(node)->head_ptr(), "0123456789", 10), 0);
    EXPECT_EQ(nodes::buffer(node)->count(), 90u);
}

TEST_F(MemoryManager, ExpandSizesAndErrors) {
    uint32_t node = memory::alloc_bytes(32);
    std::memcpy(series::alloc_tail_bytes(node, 3), "abc", 3);
    nodes::buffer(node)->head = 1;  // content off the data start
    SeriesBuffer* b = memory::expand_copy(node, 0);
    EXPECT_EQ(b->size, 64u);
    EXPECT_EQ(b->head, 0u);
    EXPECT_EQ(std::memcmp(b->head_ptr(), "bc", 2), 0);
    b = memory::expand_fill(node, 128, 0x5A);
    EXPECT_EQ(b->data()[64], 0x5A);
    EXPECT_EQ(b->data()[127], 0x5A);
    EXPECT_STREQ(raised([&] { memory::expand(node, -5); }), "no-memory");
    EXPECT_STREQ(raised([&] { memory::alloc_cells(-1); }), "no-memory");
    EXPECT_STREQ(raised([&] { memory::alloc_bytes(0x7FFFFFF0); }), "no-memory");
    EXPECT_STREQ(raised([&] { memory::alloc_units(4, 3); }), "no-memory");
}

TEST_F(MemoryManager, CopiesKeepUnitAndDropOwned) {
    uint32_t node = memory::alloc_units(8, 4);
    auto* w = reinterpret_cast<uint32_t*>(series::alloc_tail_bytes(node, 16));
    for (uint32_t i = 0; i < 4; i++) w[i] = 100 + i;
    memory::set_flags(node, series_flags::owned);
    uint32_t part = series::copy_part(node, 1, 2);
    SeriesBuffer* p = nodes::buffer(part);
    EXPECT_EQ(p->unit(), 4u);
    EXPECT_FALSE(p->flags & series_flags::owned);
    EXPECT_EQ(p->count(), 2u);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(p->head_ptr())[0], 101u);
    EXPECT_EQ(nodes::buffer(series::copy_part(node, 3, 9))->count(), 1u);  // clipped
    uint32_t whole = memory::copy_bytes(node);
    EXPECT_EQ(nodes::buffer(whole)->count(), 4u);
    EXPECT_EQ(reinterpret_cast<uint32_t*>(nodes::buffer(whole)->head_ptr())[3], 103u);
}

TEST_F(MemoryManager, SeriesFrameSizesAndBigFrames) {
    memory::alloc_bytes(100);
    ASSERT_EQ(memory::series_frame_count(), 1);
    memory::SeriesFrame* first = memory::root.series_frames_head;
    EXPECT_EQ(first->end - first->data_start(), 1 << 20);
    // Fill the first frame: the next one has 2 MB.
    while (memory::series_frame_count() == 1) memory::alloc_bytes(100000);
    for (memory::SeriesFrame* f = memory::root.series_frames_head; f; f = f->next) {
        if (f != first) {
            EXPECT_EQ(f->end - f->data_start(), 2 << 20);
        }
    }
    // A buffer whose size and header reach 2 MB goes to a frame of its own.
    uint32_t big = memory::alloc_bytes((2 << 20) - memory::buffer_overhead);
    EXPECT_TRUE(nodes::buffer(big)->flags & series_flags::big);
    EXPECT_EQ(memory::big_frame_count(), 1);
    uint32_t small = memory::alloc_bytes((2 << 20) - memory::buffer_overhead - 16);
    EXPECT_FALSE(nodes::buffer(small)->flags & series_flags::big);
}

TEST_F(MemoryManager, NodesAreReusedFromTheirFrame) {
    uint32_t a = memory::alloc_node();
    uint32_t b = memory::alloc_node();
    EXPECT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_EQ(memory::live_nodes(), 2);
    memory::free_node(a);
    EXPECT_EQ(memory::alloc_node(), a);
    for (int i = 0; i < memory::node_frame_capacity; i++) memory::alloc_node();
    EXPECT_EQ(memory::node_frame_count(), 2);
}

TEST_F(MemoryManager, Statistics) {
    uint32_t block = memory::alloc_cells(4);
    memory::alloc_bytes(1000);
    memory::alloc_bytes((2 << 20));  // big
    gc::state.enabled = 1;
    Cell target;
    cell::make_series(&target, type_block, block);
    double used = memory::collect_stats(&target, 2);
    EXPECT_EQ(gc::state.enabled, 1);
    gc::state.enabled = 0;
    memory::collect_stats(nullptr, 1);
    EXPECT_EQ(gc::state.enabled, 0);
    EXPECT_GT(used, double(2 << 20));
    // [node frames] [series frames] [big frames] system-bytes heap-bytes
    SeriesBuffer* b = nodes::buffer(block);
    ASSERT_EQ(b->count(), 5u);
    auto* c = reinterpret_cast<Cell*>(b->head_ptr());
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(cell::type(c + i), type_block);
        EXPECT_TRUE(cell::has_new_line(c + i));
    }
    Cell* node_frames = series::cells_mut(c[0].w2);
    Cell* first = series::cells_mut(node_frames[0].w2);
    EXPECT_EQ(cell::get_integer(first + 2), memory::node_frame_capacity);
    EXPECT_EQ(cell::get_integer(first + 0) + cell::get_integer(first + 1), memory::node_frame_capacity);
    EXPECT_EQ(nodes::buffer(c[2].w2)->count(), 1u);
    EXPECT_EQ(cell::type(c + 3), type_integer);
    EXPECT_GE(cell::get_integer(c + 3), cell::get_integer(c + 4));
}

// What is kept outside the collector's frames (a pixel store, a codec's
// buffer) shows in the bytes malloc holds while it is held, and leaves
// them when freed.
TEST_F(MemoryManager, MallocBytesCountWhatIsHeldOutsideTheFrames) {
    const size_t size = 8 << 20;
    double before = memory::malloc_bytes_in_use();
    char* held = static_cast<char*>(std::malloc(size));
    ASSERT_NE(held, nullptr);
    std::memset(held, 1, size);
    double during = memory::malloc_bytes_in_use();
    std::free(held);
    double after = memory::malloc_bytes_in_use();
    EXPECT_GE(during - before, double(size));
    EXPECT_LT(after - before, double(size / 2));
}

}  // namespace
