#include "memory/memory-manager.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "base/os-services.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/series.h"

namespace vum {

SeriesBuffer** nodes::table = nullptr;

namespace memory {

MemoryRoot root{};

namespace {

// Address space reserved for the node table; pages are committed as node
// frames touch them.
constexpr size_t max_node_frames = 26000;
constexpr size_t table_slots = max_node_frames * node_frame_capacity + 1;
constexpr size_t table_bytes = table_slots * sizeof(SeriesBuffer*);

NodeFrame* frames_by_index[max_node_frames];
std::vector<uint32_t> externals;

void forget_external(uint32_t node) {
    for (size_t i = 0; i < externals.size(); i++)
        if (externals[i] == node) {
            externals[i] = externals.back();
            externals.pop_back();
            return;
        }
}
int32_t frames_made = 0;  // highest index in use + 1

size_t page_size() {
    static size_t size = size_t(sysconf(_SC_PAGESIZE));
    return size;
}

size_t round_up(size_t n, size_t to) { return (n + to - 1) & ~(to - 1); }

// Free node slots are chained through the slot itself; the low bit tells a
// link from a buffer address, which is always even.
SeriesBuffer* link_to(uint32_t next) { return reinterpret_cast<SeriesBuffer*>(uintptr_t(next) << 1 | 1); }
uint32_t link_of(SeriesBuffer* slot) { return uint32_t(reinterpret_cast<uintptr_t>(slot) >> 1); }

NodeFrame* new_node_frame() {
    int32_t index = 0;
    while (index < frames_made && frames_by_index[index]) index++;
    if (index == int32_t(max_node_frames)) errors::raise(err::internal::no_memory);
    if (index == frames_made) frames_made++;
    auto* f = static_cast<NodeFrame*>(heap::alloc_zeroed(sizeof(NodeFrame)));
    f->index = index;
    f->capacity = node_frame_capacity;
    f->born = gc::state.collections;
    uint32_t first = f->first_node();
    for (int32_t i = 0; i < node_frame_capacity - 1; i++) nodes::table[first + i] = link_to(first + i + 1);
    nodes::table[first + node_frame_capacity - 1] = link_to(0);
    f->free = first;
    f->prev = root.node_frames_tail;
    if (root.node_frames_tail) root.node_frames_tail->next = f; else root.node_frames_head = f;
    root.node_frames_tail = f;
    frames_by_index[index] = f;
    root.os_bytes += node_frame_capacity * sizeof(SeriesBuffer*);
    return f;
}

void release_node_frame(NodeFrame* f) {
    if (f->prev) f->prev->next = f->next; else root.node_frames_head = f->next;
    if (f->next) f->next->prev = f->prev; else root.node_frames_tail = f->prev;
    if (root.current_node_frame == f) root.current_node_frame = nullptr;
    frames_by_index[f->index] = nullptr;
    // Give the pages of its stretch back; the range stays reserved.
    uintptr_t from = round_up(reinterpret_cast<uintptr_t>(nodes::table + f->first_node()), page_size());
    uintptr_t to = reinterpret_cast<uintptr_t>(nodes::table + f->first_node() + node_frame_capacity) & ~(page_size() - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);
    root.os_bytes -= node_frame_capacity * sizeof(SeriesBuffer*);
    heap::free(f);
}

SeriesFrame* new_series_frame(uint32_t data_size) {
    size_t whole = data_size + sizeof(SeriesFrame);
    auto* f = static_cast<SeriesFrame*>(os_alloc(whole));
    f->size = whole;
    f->free = f->data_start();
    f->end = f->free + data_size;
    // Keep the list in address order.
    SeriesFrame* after = nullptr;
    for (SeriesFrame* s = root.series_frames_head; s && s < f; s = s->next) after = s;
    f->prev = after;
    f->next = after ? after->next : root.series_frames_head;
    if (f->next) f->next->prev = f; else root.series_frames_tail = f;
    if (after) after->next = f; else root.series_frames_head = f;
    return f;
}

SeriesFrame* frame_with_room(size_t need) {
    SeriesFrame* f = root.current_series_frame;
    if (f && f->free + need < f->end) return f;
    for (f = root.series_frames_head; f; f = f->next)
        if (f->free + need < f->end) return f;
    return nullptr;
}

SeriesFrame* take_series_frame(size_t need) {
    SeriesFrame* f = frame_with_room(need);
    if (!f) {
        if (collection_due()) gc::collect_if_enabled();
        f = frame_with_room(need);
        // After a collection a fresh frame beats a nearly full one.
        if (!f || size_t(f->end - f->free) < nearly_full) {
            if (need >= root.next_frame_size) root.next_frame_size = largest_frame_size;
            uint32_t data_size = root.next_frame_size;
            if (root.next_frame_size < largest_frame_size) root.next_frame_size *= 2;
            if (need >= data_size) data_size = uint32_t(round_up(need + 16, 16));
            f = new_series_frame(data_size);
        }
    }
    root.current_series_frame = f;
    return f;
}

uint32_t unit_of(int32_t unit) {
    switch (unit) {
        case 1: case 2: case 4: case 8: case 16: return uint32_t(unit);
        default: errors::raise(err::internal::no_memory);
    }
}

void link(uint32_t node, SeriesBuffer* b) {
    b->node = node;
    nodes::set_buffer(node, b);
}

struct ExternalBlock {
    uint64_t pad;  // keeps the buffer header 8 bytes past a 16-byte boundary
    SeriesBuffer buffer;
};
}  // namespace

uint8_t* SeriesFrame::data_start() { return reinterpret_cast<uint8_t*>(this + 1); }
SeriesBuffer* BigFrame::buffer() { return reinterpret_cast<SeriesBuffer*>(this + 1); }
static_assert(sizeof(SeriesFrame) % 16 == 8, "buffers in a frame start 8 past a 16-byte boundary");
static_assert(sizeof(BigFrame) % 16 == 8, "a big frame's buffer starts 8 past a 16-byte boundary");

bool initialised() { return nodes::table != nullptr; }

// The heap may grow by half its live size between collections: a peak of
// one and a half times what is live, for a collection per half of it.
bool collection_due() {
    size_t interval = std::max(root.live_after_collection / 2, min_collection_interval);
    return root.allocated_since_collection >= interval;
}

void note_collection() {
    size_t live = 0;
    for (SeriesFrame* f = root.series_frames_head; f; f = f->next) live += size_t(f->free - f->data_start());
    for (BigFrame* f = root.big_frames_head; f; f = f->next) live += f->size;
    root.live_after_collection = live;
    root.allocated_since_collection = 0;
}

const std::vector<uint32_t>& external_nodes() { return externals; }

void init() {
    if (!nodes::table) {
        void* p = mmap(nullptr, table_bytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) sys::terminate(94, sys::caller_address());
        nodes::table = static_cast<SeriesBuffer**>(p);
    }
    root = {};
    root.next_frame_size = first_frame_size;
    gc::init();
}

void* os_alloc(size_t n) {
    size_t size = round_up(n + 16, page_size());
    void* p = nullptr;
    uint32_t code = sys::catch_codes(sys::catch_os_memory, [&] { p = platform::virtual_alloc(size, false); });
    if (code) {
        sys::clear_thrown();
        errors::raise(err::internal::no_memory);
    }
    root.os_bytes += size;
    *static_cast<size_t*>(p) = size;
    return static_cast<uint8_t*>(p) + 16;
}

void os_free(void* p) {
    uint8_t* block = static_cast<uint8_t*>(p) - 16;
    size_t size = *reinterpret_cast<size_t*>(block);
    root.os_bytes -= size;
    uint32_t code = sys::catch_codes(sys::catch_os_memory, [&] { platform::virtual_free(block, size); });
    if (code) {
        sys::clear_thrown();
        errors::raise(err::internal::wrong_mem);
    }
}

uint32_t alloc_node() {
    NodeFrame* f = root.current_node_frame;
    if (!f || !f->free || f->evacuated) {
        for (f = root.node_frames_head; f; f = f->next)
            if (f->free && !f->evacuated) break;
        if (!f) f = new_node_frame();
        root.current_node_frame = f;
    }
    uint32_t node = f->free;
    f->free = link_of(nodes::table[node]);
    nodes::table[node] = nullptr;
    f->used++;
    return node;
}

NodeFrame* node_frame_of(uint32_t node) {
    uint32_t index = (node - 1) / node_frame_capacity;
    return index < uint32_t(frames_made) ? frames_by_index[index] : nullptr;
}

void free_node(uint32_t node) {
    NodeFrame* f = node_frame_of(node);
    if (!f) return;
    nodes::table[node] = link_to(f->free);
    f->free = node;
    f->used--;
}

SeriesBuffer* alloc_buffer(int32_t count, int32_t unit, int32_t offset) {
    uint32_t u = unit_of(unit);
    int64_t bytes = int64_t(count) * u;
    if (count < 0 || bytes > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    uint32_t size = uint32_t((bytes + 15) & ~int64_t(15));
    size_t need = size_t(size) + buffer_overhead;
    gc::allocation_tick();

    SeriesBuffer* b;
    uint32_t flags = u | series_flags::in_use | series_flags::made;
    root.allocated_since_collection += need;
    if (need >= largest_frame_size) {
        if (collection_due()) gc::collect_if_enabled();
        auto* f = static_cast<BigFrame*>(os_alloc(sizeof(BigFrame) + need));
        f->size = need;
        f->prev = nullptr;
        f->next = root.big_frames_head;
        if (f->next) f->next->prev = f;
        root.big_frames_head = f;
        b = f->buffer();
        flags |= series_flags::big;
    } else {
        SeriesFrame* f = take_series_frame(need);
        b = reinterpret_cast<SeriesBuffer*>(f->free);
        f->free += need;
    }
    if (offset == -1) {
        flags |= series_flags::centred;
        offset = int32_t((size >> 1) & ~(u - 1));  // keeps whole units before the head
    }
    if (offset < 0 || uint32_t(offset) > size) offset = 0;
    b->flags = flags;
    b->node = 0;
    b->size = size;
    b->head = b->tail = uint32_t(offset);
    b->spare = 0;
    return b;
}

uint32_t alloc_series(int32_t count, int32_t unit, int32_t offset) {
    SeriesBuffer* b = alloc_buffer(count, unit, offset);
    uint32_t node = alloc_node();
    link(node, b);
    return node;
}

uint32_t alloc_external_series(int32_t count, int32_t unit, int32_t offset) {
    uint32_t u = unit_of(unit);
    int64_t bytes = int64_t(count) * u;
    if (count < 0 || bytes > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    uint32_t size = uint32_t((bytes + 15) & ~int64_t(15));
    auto* block = static_cast<ExternalBlock*>(heap::alloc_zeroed(int32_t(sizeof(ExternalBlock) + size)));
    SeriesBuffer* b = &block->buffer;
    b->flags = u | series_flags::in_use | series_flags::made | series_flags::external;
    if (offset == -1) {
        b->flags |= series_flags::centred;
        offset = int32_t((size >> 1) & ~(u - 1));
    }
    if (offset < 0 || uint32_t(offset) > size) offset = 0;
    b->size = size;
    b->head = b->tail = uint32_t(offset);
    uint32_t node = alloc_node();
    link(node, b);
    externals.push_back(node);
    return node;
}

void free_external_series(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    if (!b || !(b->flags & series_flags::external)) return;
    heap::free(reinterpret_cast<uint8_t*>(b) - offsetof(ExternalBlock, buffer));
    forget_external(node);
    free_node(node);
}

uint32_t alloc_cells(int32_t n) { return alloc_series(n, 16, 0); }

uint32_t alloc_cells_unset(int32_t n) {
    if (n < 1) n = 1;
    uint32_t node = alloc_series(n, 16, 0);
    SeriesBuffer* b = nodes::buffer(node);
    auto* c = reinterpret_cast<Cell*>(b->data());
    for (uint32_t i = 0; i < b->size / 16; i++) cell::make_unset(c + i);
    return node;
}

uint32_t alloc_bytes(int32_t n) { return alloc_series(n == 0 ? 16 : n, 1, 0); }

uint32_t alloc_units(int32_t n, int32_t unit) {
    if (n == 0) n = 16 >> (unit >> 1);
    return alloc_series(n, unit, 0);
}

uint32_t alloc_bytes_filled(int32_t n, uint8_t byte) {
    uint32_t node = alloc_bytes(n);
    SeriesBuffer* b = nodes::buffer(node);
    std::memset(b->data(), byte, b->size);
    return node;
}

uint32_t copy_bytes(uint32_t source_node) {
    uint32_t node = alloc_bytes(int32_t(nodes::buffer(source_node)->size));
    SeriesBuffer* source = nodes::buffer(source_node);  // the allocation may have moved it
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t used = source->tail - source->head;
    b->flags = (source->flags & ~(series_flags::big | series_flags::external | series_flags::mark |
                                  series_flags::compiled_code | series_flags::has_form)) |
               (b->flags & series_flags::big);
    std::memcpy(b->data() + b->head, source->data() + source->head, used);
    b->tail = b->head + used;
    return node;
}

void set_flags(uint32_t node, uint32_t bits) { nodes::buffer(node)->flags |= bits; }

namespace {
// Gives the node a new buffer of n bytes (0: twice the size) and hands back
// the old one, found again after the allocation (which may have moved it).
// The old buffer is dead space from here on; until the next allocation its
// bytes are still there to copy.
SeriesBuffer* grow(uint32_t node, int32_t n, SeriesBuffer** old_out) {
    SeriesBuffer* old = nodes::buffer(node);
    uint32_t unit = old->unit();
    // Doubling an empty buffer still has to make room for one element.
    int64_t want = n == 0 ? (old->size ? int64_t(old->size) * 2 : 16) : int64_t(n);
    if (want < 1 || want > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    // Never smaller than the content: it must still fit.
    if (want < int64_t(old->tail - old->head)) want = old->tail - old->head;
    SeriesBuffer* b = alloc_buffer(int32_t((want + unit - 1) / unit), int32_t(unit), 0);
    old = nodes::buffer(node);
    b->flags = (old->flags & ~(series_flags::big | series_flags::external | series_flags::mark)) |
               (b->flags & series_flags::big);
    b->spare = old->spare;  // the form goes with its series
    b->tail = b->head + (old->tail - old->head);
    link(node, b);
    old->node = 0;
    old->flags &= ~series_flags::in_use;
    *old_out = old;
    return b;
}

// A buffer in a tracked-heap block is nobody's dead space: it goes back now,
// and its node is an ordinary one from here on.
void drop_if_external(uint32_t node, SeriesBuffer* old) {
    if (!(old->flags & series_flags::external)) return;
    heap::free(reinterpret_cast<uint8_t*>(old) - offsetof(ExternalBlock, buffer));
    forget_external(node);
}
}  // namespace

SeriesBuffer* expand(uint32_t node, int32_t n) {
    SeriesBuffer* old;
    SeriesBuffer* b = grow(node, n, &old);
    drop_if_external(node, old);
    return b;
}

SeriesBuffer* expand_copy(uint32_t node, int32_t n) {
    SeriesBuffer* old;
    SeriesBuffer* b = grow(node, n, &old);
    std::memcpy(b->data() + b->head, old->data() + old->head, old->tail - old->head);
    drop_if_external(node, old);
    return b;
}

SeriesBuffer* expand_fill(uint32_t node, int32_t n, uint8_t byte) {
    SeriesBuffer* old;
    SeriesBuffer* b = grow(node, n, &old);
    uint32_t old_size = old->size;
    std::memcpy(b->data() + b->head, old->data() + old->head, old->tail - old->head);
    drop_if_external(node, old);
    if (b->size > old_size) std::memset(b->data() + old_size, byte, b->size - old_size);
    return b;
}

void settle_node_frames() {
    NodeFrame* f = root.node_frames_head;
    root.current_node_frame = nullptr;
    while (f) {
        NodeFrame* next = f->next;
        if (f->used == 0 || f->evacuated) {
            release_node_frame(f);
        } else {
            if (!root.current_node_frame && f->used < f->capacity) root.current_node_frame = f;
            f->steady_history = f->steady_history << 1 | (f->last_used == f->used ? 1u : 0u);
            f->last_used = f->used;
        }
        f = next;
    }
}

void release_all() {
    for (uint32_t node : externals)
        heap::free(reinterpret_cast<uint8_t*>(nodes::buffer(node)) - offsetof(ExternalBlock, buffer));
    externals.clear();
    while (root.node_frames_head) release_node_frame(root.node_frames_head);
    while (SeriesFrame* f = root.series_frames_head) {
        root.series_frames_head = f->next;
        os_free(f);
    }
    while (BigFrame* f = root.big_frames_head) {
        root.big_frames_head = f->next;
        os_free(f);
    }
    root.series_frames_tail = root.current_series_frame = nullptr;
    frames_made = 0;
}

namespace {
template <class Frame>
int32_t list_length(const Frame* f) {
    int32_t n = 0;
    for (; f; f = f->next) n++;
    return n;
}
}  // namespace

int32_t node_frame_count() { return list_length(root.node_frames_head); }
int32_t series_frame_count() { return list_length(root.series_frames_head); }
int32_t big_frame_count() { return list_length(root.big_frames_head); }

int32_t live_nodes() {
    int32_t n = 0;
    for (NodeFrame* f = root.node_frames_head; f; f = f->next) n += f->used;
    return n;
}

namespace {
void make_number(Cell* c, double v) {
    if (v <= 2147483647.0)
        cell::make_integer(c, int32_t(v));
    else
        cell::make_float(c, v);
}

// Appends a new empty block to the block `into` and returns its node.
uint32_t append_block(uint32_t into, int32_t room) {
    uint32_t inner = alloc_cells(room);
    gc::ProtectNode keep(&inner);
    Cell* c = series::alloc_tail_cell(into);
    cell::make_series(c, type_block, inner);
    c->header |= cell::flag_new_line;
    return inner;
}

void append_integers(uint32_t block, std::initializer_list<double> values) {
    for (double v : values) make_number(series::alloc_tail_cell(block), v);
}
}  // namespace

// AddressSanitizer replaces malloc, and counts for itself.
#if defined(__SANITIZE_ADDRESS__)
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

double malloc_bytes_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return double(__sanitizer_get_current_allocated_bytes());
#else
    struct mallinfo2 info = mallinfo2();
    return double(info.uordblks) + double(info.hblkhd);
#endif
}

double collect_stats(Cell* block, int mode) {
    int32_t saved = gc::state.enabled;
    gc::state.enabled = 0;
    double sum = 0;
    for (NodeFrame* f = root.node_frames_head; f; f = f->next) sum += 4.0 * f->used;
    for (SeriesFrame* f = root.series_frames_head; f; f = f->next) sum += double(f->free - f->data_start());
    for (BigFrame* f = root.big_frames_head; f; f = f->next) sum += double(f->size);
    if (mode == 2 && block) {
        uint32_t target = block->w2;
        uint32_t nodes_block = append_block(target, node_frame_count());
        for (NodeFrame* f = root.node_frames_head; f; f = f->next) {
            uint32_t inner = append_block(nodes_block, 3);
            append_integers(inner, {double(f->capacity - f->used), double(f->used), double(f->capacity)});
        }
        uint32_t series_block = append_block(target, series_frame_count());
        for (SeriesFrame* f = root.series_frames_head; f; f = f->next) {
            uint32_t inner = append_block(series_block, 3);
            append_integers(inner, {double(f->end - f->free), double(f->free - f->data_start()),
                                    double(f->end - f->data_start())});
        }
        uint32_t big_block = append_block(target, big_frame_count());
        for (BigFrame* f = root.big_frames_head; f; f = f->next) {
            Cell* c = series::alloc_tail_cell(big_block);
            make_number(c, double(f->size));
            c->header |= cell::flag_new_line;
        }
        double heap_bytes = 0;
        for (heap::Block* h = heap::list().head; h; h = h->next) heap_bytes += h->size + heap::header_size;
        double system = heap_bytes;
        for (NodeFrame* f = root.node_frames_head; f; f = f->next)
            system += double(f->capacity) * sizeof(SeriesBuffer*) + sizeof(NodeFrame);
        for (SeriesFrame* f = root.series_frames_head; f; f = f->next) system += double(f->size);
        for (BigFrame* f = root.big_frames_head; f; f = f->next) system += double(f->size + sizeof(BigFrame));
        make_number(series::alloc_tail_cell(target), system);
        make_number(series::alloc_tail_cell(target), heap_bytes);
    }
    gc::state.enabled = saved;
    return sum;
}

}  // namespace memory
}  // namespace vum
