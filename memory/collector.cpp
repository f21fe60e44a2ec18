#include "memory/collector.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/handle-registry.h"
#include "memory/cell-access.h"
#include "memory/code-forms.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/runtime-services.h"
#include "memory/series-buffer.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::gc {

State state{};
Roots roots{};

namespace {

constexpr int32_t max_mark_callbacks = 100;
constexpr int32_t free_queue_size = 20000;
constexpr size_t room_for_moving_in = 52429;

MarkCallback callbacks[max_mark_callbacks];
int32_t callback_count = 0;

uint32_t free_queue[free_queue_size];
int32_t free_queue_count = 0;
bool freed_any = false;  // nodes went back during this collection

// Nodes whose cells still have to be scanned: marking never recurses.
std::vector<uint32_t> mark_stack;


int32_t torture_stride = 0;
int64_t torture_ticks = 0;

void fence() { std::atomic_thread_fence(std::memory_order_seq_cst); }

bool valid_node(uint32_t node) {
    if (node == 0) return false;
    memory::NodeFrame* f = memory::node_frame_of(node);
    if (!f) return false;
    SeriesBuffer* b = nodes::buffer(node);
    return b && !(reinterpret_cast<uintptr_t>(b) & 1);
}

void mark_cell(const Cell* c);

void drain() {
    while (!mark_stack.empty()) {
        uint32_t node = mark_stack.back();
        mark_stack.pop_back();
        SeriesBuffer* b = nodes::buffer(node);
        auto* first = reinterpret_cast<const Cell*>(b->head_ptr());
        auto* last = reinterpret_cast<const Cell*>(b->tail_ptr());
        for (const Cell* c = first; c < last; c++) mark_cell(c);
    }
}

void mark_string_kind(const Cell* c) {
    mark_series(c->w2);
    if (c->w3) mark_series(c->w3);
}

void mark_cell(const Cell* c) {
    switch (cell::type(c)) {
        case type_block: case type_paren:
        case type_path: case type_lit_path: case type_set_path: case type_get_path:
            if (c->w2) mark_series_cells(c->w2);
            break;
        case type_string: case type_file: case type_url:
        case type_tag: case type_email: case type_ref:
            mark_string_kind(c);
            break;
        case type_symbol:
            mark_series(c->w3);
            if (c->w2) mark_series(c->w2);
            break;
        case type_context:
            hashtable::mark(cell::context_words(c));
            if (!(c->header & cell::flag_stack_context)) mark_series_cells(c->w2);
            break;
        case type_word: case type_set_word: case type_lit_word:
        case type_get_word: case type_refinement: case type_issue:
            if (c->w1) mark_context(c->w1);
            break;
        case type_native: case type_action:
            mark_series_cells(c->w2);
            mark_series_cells(c->w3);
            break;
        case type_op: {
            mark_series_cells(c->w2);
            mark_series_cells(c->w3);
            uint32_t source = (c->header & cell::op_source_mask) >> cell::op_source_shift;
            if (source == type_function || source == type_routine) mark_context(c->w1);
            break;
        }
        case type_function: case type_routine:
            mark_context(c->w1);
            mark_series_cells(c->w2);
            mark_series_cells(c->w3);
            break;
        case type_bitset: case type_vector: case type_binary:
            mark_series(c->w2);
            break;
        case type_object: case type_error: case type_port:
            mark_context(c->w1);
            if (c->w3) mark_series(c->w3);
            break;
        case type_hash: case type_map:
            mark_series_cells(c->w2);
            hashtable::mark(cell::hash_table(c));
            break;
        case type_handle:
            if (int32_t(c->w3) >= 0) handle_registry::mark(int32_t(c->w3), nullptr);
            break;
        case type_image:
            if (c->w2) {
                mark_series(c->w2);
                services::current.mark_image(c->w2);
            }
            break;
        case type_event:
            if ((c->header & cell::flag_event_made) && c->w2) mark_series_cells(c->w2);
            break;
        default:
            break;
    }
}

// Every root of the runtime, in one place.
void mark_roots() {
    mark_block(&roots.root_block);
    if (roots.symbol_table) hashtable::mark(roots.symbol_table);
    if (roots.arg_stack) mark_series(roots.arg_stack);
    if (roots.call_stack) mark_series(roots.call_stack);
    if (stack::initialised()) {
        mark_cells(stack::s.args_begin, stack::s.args_top);
        stack::mark_frames();
    }
    if (roots.global_context) mark_context(roots.global_context);
    if (roots.take_scratch) mark_series_cells(roots.take_scratch);
    if (roots.current_expression.node) {
        Cell expression = {type_block, roots.current_expression.position, roots.current_expression.node, 0};
        mark_cell(&expression);
    }
    if (roots.cell_slot_table) mark_series_cells(roots.cell_slot_table);
    for (const Protect* p = Protect::innermost; p; p = p->outer) mark_cells(p->first, p->first + p->count);
    for (const ProtectNode* p = ProtectNode::innermost; p; p = p->outer)
        if (*p->node) mark_series_cells(*p->node);
    for (int32_t i = 0; i < callback_count; i++)
        if (callbacks[i]) callbacks[i]();
    drain();
    // The ownership table keeps no series alive on its own: an entry counts
    // only once its series is reached some other way, and then keeps its
    // owner and field word alive.
    if (roots.ownership_table) {
        while (ownership::mark_reachable_entries()) drain();
        ownership::sweep();
    }
}

void queue_free(uint32_t node) {
    if (!node) return;
    freed_any = true;
    if (free_queue_count == free_queue_size) {
        for (int32_t i = 0; i < free_queue_count; i++) memory::free_node(free_queue[i]);
        free_queue_count = 0;
    }
    free_queue[free_queue_count++] = node;
}

void flush_free_queue() {
    for (int32_t i = 0; i < free_queue_count; i++) memory::free_node(free_queue[i]);
    free_queue_count = 0;
}

// A block swept with its form takes the form with it.
void free_buffer_node(const SeriesBuffer* b) {
    if (b->flags & series_flags::has_form) forms::release(b->spare, b->node);
    queue_free(b->node);
}

size_t span_of(const SeriesBuffer* b) { return size_t(b->size) + memory::buffer_overhead; }

bool live(const SeriesBuffer* b) {
    return (b->flags & series_flags::in_use) && (b->flags & series_flags::mark);
}

// Moves a live buffer to `to` and points its node there.
void move_buffer(SeriesBuffer* b, uint8_t* to, size_t span) {
    b->flags &= ~series_flags::mark;
    if (reinterpret_cast<uint8_t*>(b) != to) {
        std::memmove(to, b, span);
        b = reinterpret_cast<SeriesBuffer*>(to);
    }
    nodes::set_buffer(b->node, b);
}

void unlink_series_frame(memory::SeriesFrame* f) {
    auto& r = memory::root;
    if (f->prev) f->prev->next = f->next; else r.series_frames_head = f->next;
    if (f->next) f->next->prev = f->prev; else r.series_frames_tail = f->prev;
    if (r.current_series_frame == f) r.current_series_frame = nullptr;
    memory::os_free(f);
}

// Slides the live buffers of each frame down, into the previous frame while
// it has room; dead buffers give their nodes back.
void compact_series_frames() {
    memory::SeriesFrame* f = memory::root.series_frames_head;
    while (f) {
        memory::SeriesFrame* next = f->next;
        memory::SeriesFrame* into = f->prev && size_t(f->prev->end - f->prev->free) >= room_for_moving_in ? f->prev : nullptr;
        uint8_t* dest = f->data_start();
        for (uint8_t* p = f->data_start(); p < f->free;) {
            auto* b = reinterpret_cast<SeriesBuffer*>(p);
            size_t span = span_of(b);
            if (live(b)) {
                if (into && into->free + span < into->end) {
                    uint8_t* to = into->free;
                    into->free += span;
                    move_buffer(b, to, span);
                } else {
                    into = nullptr;
                    move_buffer(b, dest, span);
                    dest += span;
                }
            } else if (b->flags & series_flags::in_use) {
                free_buffer_node(b);
            }
            p += span;
        }
        f->free = dest;
        if (dest == f->data_start() && next) unlink_series_frame(f);
        f = next;
    }
}

// Under torture every live buffer moves: the frames are copied into fresh
// ones, made before the old ones go so that no address is reused at once.
void copy_series_frames() {
    auto& r = memory::root;
    memory::SeriesFrame* old_head = r.series_frames_head;
    if (!old_head) return;
    r.series_frames_head = r.series_frames_tail = r.current_series_frame = nullptr;
    size_t total = 0;
    for (memory::SeriesFrame* f = old_head; f; f = f->next) total += size_t(f->free - f->data_start());
    size_t data = total + memory::nearly_full + 64;
    data = (data + 15) & ~size_t(15);
    auto* to = static_cast<memory::SeriesFrame*>(memory::os_alloc(data + sizeof(memory::SeriesFrame)));
    to->next = to->prev = nullptr;
    to->size = data + sizeof(memory::SeriesFrame);
    to->free = to->data_start();
    to->end = to->free + data;
    for (memory::SeriesFrame* f = old_head; f; f = f->next) {
        for (uint8_t* p = f->data_start(); p < f->free;) {
            auto* b = reinterpret_cast<SeriesBuffer*>(p);
            size_t span = span_of(b);
            if (live(b)) {
                uint8_t* at = to->free;
                to->free += span;
                move_buffer(b, at, span);
            } else if (b->flags & series_flags::in_use) {
                free_buffer_node(b);
            }
            p += span;
        }
    }
    while (old_head) {
        memory::SeriesFrame* next = old_head->next;
        memory::os_free(old_head);
        old_head = next;
    }
    r.series_frames_head = r.series_frames_tail = r.current_series_frame = to;
}

void sweep_big_frames() {
    auto& r = memory::root;
    memory::BigFrame* f = r.big_frames_head;
    while (f) {
        memory::BigFrame* next = f->next;
        SeriesBuffer* b = f->buffer();
        if (b->flags & series_flags::mark) {
            b->flags &= ~series_flags::mark;
        } else {
            if (b->flags & series_flags::in_use) free_buffer_node(b);
            if (f->prev) f->prev->next = f->next; else r.big_frames_head = f->next;
            if (f->next) f->next->prev = f->prev;
            memory::os_free(f);
        }
        f = next;
    }
}

}  // namespace

void init() {
    state.collections = 0;
    state.evacuations = 0;
    state.in_progress = 0;
    const char* torture_env = std::getenv("VUM_GC_TORTURE");
    torture_stride = torture_env ? std::atoi(torture_env) : 0;
    if (torture_stride < 0) torture_stride = 0;
}

bool torture() { return torture_stride > 0; }

int32_t torture_stride_now() { return torture_stride; }

int32_t torture_boot_stride() {
    if (!torture_stride) return 0;
    const char* env = std::getenv("VUM_GC_TORTURE_BOOT");
    int32_t boot = env && *env ? std::atoi(env) : 512;
    if (boot < 1) boot = 1;
    return std::max(boot, torture_stride);
}

void set_torture(int32_t stride) { torture_stride = stride < 0 ? 0 : stride; }

void allocation_tick() {
    if (!torture_stride || !state.enabled || state.in_progress) return;
    if (++torture_ticks % torture_stride == 0) collect();
}

bool in_progress() { return state.in_progress != 0; }

void collect_if_enabled() {
    if (state.enabled && !state.in_progress) collect();
}

// Under torture every live buffer must be the one its node points at.
void verify_frames() {
    for (memory::SeriesFrame* f = memory::root.series_frames_head; f; f = f->next)
        for (uint8_t* p = f->data_start(); p < f->free; p += span_of(reinterpret_cast<SeriesBuffer*>(p))) {
            auto* b = reinterpret_cast<SeriesBuffer*>(p);
            if (!(b->flags & series_flags::in_use) || !b->node) continue;
            if (nodes::buffer(b->node) != b) {
                std::fprintf(stderr, "collector: node %u points at %p, its buffer is %p\n", b->node,
                             static_cast<void*>(nodes::buffer(b->node)), static_cast<void*>(b));
                std::abort();
            }
        }
}

void collect() {
    if (state.in_progress || !memory::initialised()) return;
    state.in_progress = 1;
    fence();
    mark_stack.clear();
    mark_roots();
    if (handle_registry::capacity() > 0) handle_registry::sweep();
    if (torture_stride)
        copy_series_frames();
    else
        compact_series_frames();
    sweep_big_frames();
    for (uint32_t node : memory::external_nodes()) clear_mark(node);
    flush_free_queue();
    memory::settle_node_frames();
    memory::note_collection();
    if (torture_stride) verify_frames();
    // A freed node's id may come back for another series: whatever a
    // compiled form cached under it is checked again.
    if (freed_any) series::bump_code_epoch();
    freed_any = false;

    state.collections++;
    fence();
    state.in_progress = 0;
    fence();
}


void add_mark_callback(MarkCallback fn) {
    for (int32_t i = 0; i < callback_count; i++)
        if (!callbacks[i]) {
            callbacks[i] = fn;
            return;
        }
    if (callback_count < max_mark_callbacks) callbacks[callback_count++] = fn;
}

void remove_mark_callback(MarkCallback fn) {
    for (int32_t i = 0; i < callback_count; i++)
        if (callbacks[i] == fn) {
            callbacks[i] = nullptr;
            return;
        }
}

bool mark_series(uint32_t node) {
    if (!valid_node(node)) return false;
    SeriesBuffer* b = nodes::buffer(node);
    if (b->flags & series_flags::mark) return false;
    b->flags |= series_flags::mark;
    return true;
}

bool mark_series_cells(uint32_t node) {
    if (!mark_series(node)) return false;
    if (nodes::buffer(node)->unit() == 16) mark_stack.push_back(node);
    return true;
}

void mark_block(const Cell* c) {
    if (c->w2) mark_series_cells(c->w2);
}

// A context is a series of two cells, the context! cell and its owner: its
// cells say what else to mark.
void mark_context(uint32_t node) { mark_series_cells(node); }

void mark_cells(const Cell* first, const Cell* last) {
    for (const Cell* c = first; c < last; c++) mark_cell(c);
}

void clear_mark(uint32_t node) {
    if (valid_node(node)) nodes::buffer(node)->flags &= ~series_flags::mark;
}

}  // namespace vum::gc
