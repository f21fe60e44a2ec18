#include "memory/ownership.h"

#include <algorithm>

#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"

namespace vum::ownership {


namespace {

constexpr int32_t table_size = 1000;
constexpr int32_t record_cells = 3;

bool is_block_kind(uint8_t t) {
    return t == type_block || t == type_paren || (t >= type_path && t <= type_get_path) || t == type_hash;
}

// Series kinds that are owned without descent.
bool is_flat_series(uint8_t t) {
    switch (t) {
        case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
        case type_binary: case type_vector: case type_image: case type_bitset:
            return true;
        default:
            return false;
    }
}

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

// A node that names a buffer now: not 0, not past the node frames, not free.
bool live_node(uint32_t node) {
    if (!node || !memory::node_frame_of(node)) return false;
    SeriesBuffer* b = nodes::buffer(node);
    return b && !(reinterpret_cast<uintptr_t>(b) & 1);
}

bool marked(uint32_t node) { return (nodes::buffer(node)->flags & series_flags::mark) != 0; }

// Whether gc::mark_cells on this cell would mark a node not yet marked.
// Only objects and words are ever stored as owner and field word.
bool reaches_unmarked(const Cell* c) {
    uint8_t t = cell::type(c);
    if (t == type_object)
        return (live_node(c->w1) && !marked(c->w1)) || (c->w3 && live_node(c->w3) && !marked(c->w3));
    if (is_word_kind(t)) return c->w1 && live_node(c->w1) && !marked(c->w1);
    return false;
}

bool owned_mark(const Cell* value) {
    if (cell::type(value) == type_image) return (value->header & cell::flag_owner) != 0;
    return (nodes::buffer(value->w2)->flags & series_flags::owned) != 0;
}

void set_owned_mark(Cell* value) {
    if (cell::type(value) == type_image)
        value->header |= cell::flag_owner;
    else
        nodes::buffer(value->w2)->flags |= series_flags::owned;
}

void clear_owned_mark(Cell* value) {
    if (cell::type(value) == type_image)
        value->header &= ~uint32_t(cell::flag_owner);
    else
        nodes::buffer(value->w2)->flags &= ~series_flags::owned;
}

// Marking may set an image cell's owner flag: a write, so through the barrier.
Cell* cell_at(uint32_t node, uint32_t index) { return series::cells_mut(node) + index; }

uint32_t cell_count(uint32_t node) { return nodes::buffer(node)->count(); }

// A context whose fields are ordinary series cells (not on the value stack).
uint32_t values_of(uint32_t ctx) {
    if (!live_node(ctx)) return 0;
    const Cell* cc = context::context_cell(ctx);
    if (cell::type(cc) != type_context || (cc->header & cell::flag_stack_context)) return 0;
    return live_node(cc->w2) ? cc->w2 : 0;
}

void bind_value(Cell* value, const Cell* owner, const Cell* word);

// Each field is owned through its own word.
void bind_object(uint32_t ctx, const Cell* owner) {
    uint32_t values = values_of(ctx);
    if (!values || (context::context_cell(ctx)->header & cell::flag_owner) || cycles::find(values)) return;
    gc::ProtectNode keep(&ctx);
    cycles::Visit visit(values);
    for (int32_t i = 0; i < context::word_count(ctx) && uint32_t(i) < cell_count(values); i++) {
        const Cell* field = cell_at(values, uint32_t(i));
        if (cell::type(field) == type_object && field->w1 == owner->w1) continue;
        gc::Local field_word(*context::word_at(ctx, i));
        bind_value(cell_at(values, uint32_t(i)), owner, &field_word);
    }
}

// value may lie in a series: it is read (and an image's mark written) before
// anything allocates, and not touched after.
void bind_value(Cell* value, const Cell* owner, const Cell* word) {
    uint8_t t = cell::type(value);
    if (t == type_object) {
        bind_object(value->w1, owner);
        return;
    }
    if (!is_block_kind(t) && !is_flat_series(t)) return;
    if (!live_node(value->w2)) return;
    bool record = !owned_mark(value);
    if (record) set_owned_mark(value);
    gc::Local v(*value);
    uint32_t node = v.w2;
    if (record) {
        Cell* cells = hashtable::put_pointer(gc::roots.ownership_table, node);
        cells[0] = v;
        cells[1] = *owner;
        cells[2] = *word;
    }
    if (!is_block_kind(t) || cycles::find(node)) return;
    cycles::Visit visit(node);
    for (uint32_t i = v.w1; i < cell_count(node); i++) bind_value(cell_at(node, i), owner, word);
}

void forget(uint32_t node) {
    if (!gc::roots.ownership_table) return;
    Cell* cells = hashtable::remove_pointer(gc::roots.ownership_table, node);
    if (!cells) return;
    for (int32_t i = 0; i < record_cells; i++) cell::make_unset(cells + i);
}

void unbind_value(Cell* value);

void unbind_object(uint32_t ctx) {
    uint32_t values = values_of(ctx);
    if (!values || (context::context_cell(ctx)->header & cell::flag_owner) || cycles::find(ctx)) return;
    cycles::Visit visit(ctx);
    for (uint32_t i = 0; i < cell_count(values); i++) unbind_value(cell_at(values, i));
}

// Nothing here allocates; the cells are still re-read by index, one at a time.
void unbind_value(Cell* value) {
    uint8_t t = cell::type(value);
    if (t == type_object) {
        unbind_object(value->w1);
        return;
    }
    if (!is_block_kind(t) && !is_flat_series(t)) return;
    uint32_t node = value->w2;
    if (!live_node(node)) return;
    clear_owned_mark(value);
    forget(node);
    // A block may hold itself: the guard stops the descent as for binding.
    if (!is_block_kind(t) || cycles::find(node)) return;
    uint32_t head = value->w1;
    cycles::Visit visit(node);
    for (uint32_t i = head; i < cell_count(node); i++) unbind_value(cell_at(node, i));
}

[[noreturn]] void invalid_argument() { errors::raise(err::script::invalid_arg); }

void check_owner_and_word(const Cell* owner, const Cell* word) {
    if (cell::type(owner) != type_object || !values_of(owner->w1)) invalid_argument();
    uint8_t t = cell::type(word);
    if (!is_word_kind(t) && t != type_none) invalid_argument();
}

using runtime_symbols::global_words;
using runtime_symbols::words;
namespace rs = runtime_symbols;

struct Reports {
    const Cell* before;
    const Cell* after;
};

Reports reports_of(Action action) {
    switch (action) {
        case action_append: return {&words[rs::word_append], &words[rs::word_appended]};
        case action_insert: return {&global_words[rs::global_insert], &words[rs::word_inserted]};
        case action_change: return {&words[rs::word_change], &words[rs::word_changed]};
        case action_clear: return {&words[rs::word_clear], &words[rs::word_cleared]};
        case action_move: return {&words[rs::word_move], &words[rs::word_moved]};
        case action_poke: return {&words[rs::word_poke], &words[rs::word_poked]};
        case action_put: return {&words[rs::word_put], &words[rs::word_put_ed]};
        case action_random: return {&words[rs::word_random], &words[rs::word_randomized]};
        case action_remove: return {&global_words[rs::global_remove], &words[rs::word_removed]};
        case action_reverse: return {&words[rs::word_reverse], &words[rs::word_reversed]};
        case action_sort: return {&words[rs::word_sort], &words[rs::word_sorted]};
        case action_swap: return {&words[rs::word_swap], &words[rs::word_swaped]};
        case action_take: return {&words[rs::word_take], &words[rs::word_taken]};
        case action_trim: return {&words[rs::word_trim], &words[rs::word_trimmed]};
        case action_uppercase: return {&words[rs::word_uppercase], &words[rs::word_uppercase]};
        case action_lowercase: return {&words[rs::word_lowercase], &words[rs::word_lowercase]};
        case action_set_path: return {&words[rs::word_set_path], &words[rs::word_set_path]};
        default: invalid_argument();
    }
}

}  // namespace

void init_table() {
    gc::roots.ownership_table = 0;
    uint32_t t = hashtable::create(table_size, nullptr, hashtable::kind_ownership, record_cells);
    gc::roots.ownership_table = t;
}

uint32_t table() { return gc::roots.ownership_table; }

void bind(Cell* value, const Cell* owner, const Cell* word) {
    check_owner_and_word(owner, word);
    gc::Local o(*owner);
    gc::Local w(*word);
    if (!gc::roots.ownership_table) {
        // value may lie in a series that the table's allocation moves.
        gc::Local v(*value);
        init_table();
        bind_value(&v, &o, &w);
        // An image's mark lives in its cell: only the caller's cell can keep it.
        if (cell::type(&v) == type_image) cell::copy(&v, value);
        return;
    }
    bind_value(value, &o, &w);
}

void set_owner(Cell* value, const Cell* owner, const Cell* word) {
    check_owner_and_word(owner, word);
    uint32_t ctx = owner->w1;
    gc::ProtectNode keep(&ctx);
    bind(value, owner, word);
    context::context_cell(ctx)->header |= cell::flag_owner;
}

void unbind(Cell* value) { unbind_value(value); }

void unbind_range(const Cell* block, int32_t index, int32_t count) {
    if (!is_block_kind(cell::type(block)) || !live_node(block->w2) || count <= 0) return;
    uint32_t node = block->w2;
    int64_t from = std::max<int64_t>(index, 0);
    int64_t end = std::min<int64_t>(int64_t(index) + count, cell_count(node));
    for (int64_t i = from; i < end && i < cell_count(node); i++) unbind_value(cell_at(node, uint32_t(i)));
}

Cell owner_of(uint32_t node) {
    Cell none{type_none, 0, 0, 0};
    if (!gc::roots.ownership_table || !node) return none;
    const Cell* cells = hashtable::find_pointer(gc::roots.ownership_table, node);
    return cells ? cells[1] : none;
}

bool is_owned(const Cell* value) {
    uint8_t t = cell::type(value);
    if ((!is_block_kind(t) && !is_flat_series(t)) || !live_node(value->w2)) return false;
    return owned_mark(value);
}

bool may_have_owner(const Cell* target) {
    uint8_t t = cell::type(target);
    if (t == type_object || t == type_image) return true;
    if (!is_block_kind(t) && !is_flat_series(t)) return false;  // word 2 of other values is no node
    return !live_node(target->w2) || owned_mark(target);
}

bool check(const Cell* target, const Cell* action, const Cell* new_value, int32_t index, int32_t part) {
    // Most series are owned by nobody: their bit spares the lookup.
    if (!may_have_owner(target)) return false;
    uint32_t key = cell::type(target) == type_object ? target->w1 : target->w2;
    if (!key || !gc::roots.ownership_table) return false;
    const Cell* cells = hashtable::find_pointer(gc::roots.ownership_table, key);
    if (!cells || cell::type(cells + 1) != type_object || cells[1].w3 == 0) return false;
    gc::Local owner(cells[1]);
    gc::Local word(cells[2]);
    gc::Local changed(*target);
    gc::Local act(*action);
    gc::Local value(Cell{});
    if (new_value)
        value = *new_value;
    else
        cell::make_none(&value);
    services::current.deep_change_handler(&owner, &word, &changed, &act, &value, index, part);
    return true;
}

const Cell* action_word(Action action) { return reports_of(action).before; }
const Cell* past_word(Action action) { return reports_of(action).after; }

bool mark_reachable_entries() {
    uint32_t t = gc::roots.ownership_table;
    if (!live_node(t)) return false;
    const hashtable::Record* r = hashtable::record(t);
    gc::mark_series(t);
    gc::mark_series(r->states);
    gc::mark_series(r->buckets);
    gc::mark_series(r->keys);
    uint32_t width = hashtable::entry_width(r);
    if (width < sizeof(hashtable::EntryHead) + sizeof(Cell) * record_cells) return false;
    // Marking only pushes onto the collector's stack: nothing moves here.
    SeriesBuffer* entries = nodes::buffer(r->keys);
    bool more = false;
    for (uint32_t at = entries->head; at + width <= entries->tail; at += width) {
        auto* head = reinterpret_cast<const hashtable::EntryHead*>(entries->data() + at);
        if (head->state != hashtable::entry_live || !live_node(head->key) || !marked(head->key)) continue;
        auto* cells = reinterpret_cast<const Cell*>(head + 1);
        // Cell 0, the copy of the series cell, would keep the key alive.
        for (const Cell* c = cells + 1; c < cells + record_cells; c++) {
            if (!reaches_unmarked(c)) continue;
            gc::mark_cells(c, c + 1);
            more = true;
        }
    }
    return more;
}

void sweep() {
    uint32_t t = gc::roots.ownership_table;
    if (!live_node(t)) return;
    hashtable::Record* r = hashtable::record(t);
    if (hashtable::entry_width(r) < sizeof(hashtable::EntryHead) + sizeof(Cell) * record_cells) return;
    int32_t* slots = hashtable::bucket_array(r);
    uint8_t* data = nodes::buffer(r->keys)->data();
    for (uint32_t b = 0; b < r->size; b++) {
        if (hashtable::bucket_state(r, b) != hashtable::state_used) continue;
        auto* head = reinterpret_cast<hashtable::EntryHead*>(data + slots[b]);
        if (live_node(head->key) && marked(head->key)) continue;
        head->state = hashtable::entry_removed;
        auto* cells = reinterpret_cast<Cell*>(head + 1);
        for (int32_t i = 0; i < record_cells; i++) cell::make_unset(cells + i);
        hashtable::set_bucket_state(r, b, hashtable::state_deleted);
        r->count--;
    }
}

}  // namespace vum::ownership
