#include "memory/context.h"

#include <vector>

#include "base/runtime-init.h"
#include "memory/collector.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum::context {

uint32_t global = 0;
StackSlotFn stack_slot = nullptr;

namespace {
constexpr int32_t global_words = 4000;

// Words made under another spelling of an existing global are kept alive
// here, each spelling once (by symbol): loading `B` again and again must
// not grow it.
uint32_t keep_alive = 0;
std::vector<bool> kept_spellings;

// Made with the global context, after the symbol table.
int32_t self_id = 0;

int32_t self_symbol() { return self_id; }

uint32_t words_table(uint32_t ctx) { return context_cell(ctx)->w1; }

Cell* words_head(uint32_t ctx) { return series::cells_mut_untracked(hashtable::record(words_table(ctx))->keys); }

uint32_t header_for(Kind kind, bool stack, bool made) {
    uint32_t header = type_context | uint32_t(kind) << cell::context_kind_shift;
    if (stack) header |= cell::flag_stack_context;
    if (made) header |= cell::flag_context_made;
    return header;
}

// Word tables grow sixteen-fold: start-up adds thousands of words.
void grow_if_needed(uint32_t table) {
    hashtable::Record* r = hashtable::record(table);
    if (r->occupied < r->threshold) return;
    uint32_t request = 2 * r->count >= r->size ? (r->size + 1) * 16 : (r->size - 1) * 16;
    hashtable::resize_in_place(table, request);
}

// The probe: the slot of the symbol, or -1 with the empty bucket that ends
// the path in *empty (or -1 when the path came back to its start).
int32_t probe(uint32_t ctx, int32_t symbol, bool alias, int32_t* empty) {
    hashtable::Record* r = hashtable::record(words_table(ctx));
    const Cell* words = series::cells_head(r->keys);
    int32_t canonical = symbols::resolve(symbol);
    int32_t key = alias ? canonical : symbol;
    uint32_t mask = r->size - 1;
    uint32_t start = hashtable::fmix32(uint32_t(canonical)) & mask;
    uint32_t i = start;
    for (uint32_t k = 1;; k++) {
        uint32_t state = hashtable::bucket_state(r, i);
        if (state == hashtable::state_empty) {
            if (empty) *empty = int32_t(i);
            return -1;
        }
        if (state == hashtable::state_used) {
            int32_t slot = hashtable::bucket_array(r)[i];
            int32_t s = int32_t(words[slot].w2);
            if ((alias ? symbols::resolve(s) : s) == key) return slot;
        }
        i = (i + k) & mask;
        if (i == start) {
            if (empty) *empty = -1;
            return -1;
        }
    }
}

void append_unset_value(uint32_t ctx) {
    if (is_stack(ctx)) return;
    cell::make_unset(series::alloc_tail_cell(context_cell(ctx)->w2));
}

// The error names the slot's word, as the language spells it.
[[noreturn]] void raise_with_word(err::Script id, uint32_t ctx, int32_t index) {
    Cell w;
    cell::make_none(&w);
    if (index >= 0 && index < word_count(ctx)) {
        w = *word_at(ctx, index);
        cell::set_type(&w, type_word);
        w.header &= cell::type_mask;
    }
    errors::raise(id, &w);
}

Cell* value_slot(uint32_t ctx, int32_t index, err::Script missing_storage) {
    Cell* c = context_cell(ctx);
    if (c->w2 == 0) raise_with_word(missing_storage, ctx, index);
    if (c->header & cell::flag_stack_context) {
        Cell* slot = stack_slot ? stack_slot(c->w2, index) : nullptr;
        if (!slot) raise_with_word(missing_storage, ctx, index);
        return slot;
    }
    return series::cells_mut_untracked(c->w2) + index;  // value storage, never code
}

void record_word(const Cell& w) {
    if (runtime::word_recording && gc::roots.root_block.w2) *series::alloc_tail(&gc::roots.root_block) = w;
}

bool is_block_kind(uint8_t t) {
    return t == type_block || t == type_paren || (t >= type_path && t <= type_get_path) || t == type_hash;
}
}  // namespace

Cell* owner_cell(uint32_t ctx) { return series::cells_mut_untracked(ctx) + 1; }

Kind kind_of(uint32_t ctx) {
    return Kind((context_cell(ctx)->header & cell::context_kind_mask) >> cell::context_kind_shift);
}

bool is_stack(uint32_t ctx) { return (context_cell(ctx)->header & cell::flag_stack_context) != 0; }

uint32_t words_node(uint32_t ctx) { return hashtable::record(words_table(ctx))->keys; }

Cell* word_at(uint32_t ctx, int32_t index) { return words_head(ctx) + index; }

int32_t word_count(uint32_t ctx) { return int32_t(nodes::buffer(words_node(ctx))->count()); }

uint32_t make(int32_t n, bool stack, bool made_flag, uint32_t source, Kind kind) {
    if (n < 1) n = 1;
    uint32_t words;
    if (source) {
        Cell from = *context_cell(source);
        words = hashtable::create(n, &from, hashtable::kind_symbols, 2);
    } else {
        words = hashtable::create(n, nullptr, hashtable::kind_symbols, 0);
    }
    hashtable::ProtectTable keep_words(words);
    uint32_t values = stack ? 0 : memory::alloc_cells_unset(n);
    gc::ProtectNode keep_values(&values);
    uint32_t ctx = memory::alloc_cells(2);
    gc::ProtectNode keep_ctx(&ctx);
    *series::alloc_tail_cell(ctx) = {header_for(kind, stack, made_flag), words, values, 0};
    cell::make_unset(series::alloc_tail_cell(ctx));
    if (source) {
        // The copied word cells name their new context.
        Cell* w = words_head(ctx);
        for (int32_t i = 0, count = word_count(ctx); i < count; i++) w[i].w1 = ctx;
    }
    return ctx;
}

uint32_t make_from_block(const Cell* block, bool stack, bool made_flag, Kind kind) {
    uint32_t spec = block->w2;
    gc::ProtectNode keep_spec(&spec);
    auto counts = [](uint8_t t) {
        return t == type_word || t == type_lit_word || t == type_get_word || t == type_refinement;
    };
    int32_t n = 0;
    for (const Cell *c = series::cells_head(spec), *end = series::cells_tail(spec); c < end; c++)
        if (counts(cell::type(c))) n++;
    uint32_t ctx = make(n, stack, made_flag, 0, kind);
    gc::ProtectNode keep_ctx(&ctx);
    int32_t total = int32_t(nodes::buffer(spec)->count());
    for (int32_t i = 0; i < total; i++) {
        const Cell* c = series::cells_head(spec) + i;
        if (!counts(cell::type(c))) continue;
        int32_t symbol = int32_t(c->w2);
        int32_t added;
        find_or_add_word(ctx, symbol, true, &added);
        append_unset_value(ctx);
    }
    return ctx;
}

void clone_for_cell(Cell* owner, Kind kind) {
    uint32_t old = owner->w1;
    gc::ProtectNode keep_old(&old);
    int32_t n = word_count(old);
    Cell c = *context_cell(old);
    uint32_t ctx = make(n, (c.header & cell::flag_stack_context) != 0, (c.header & cell::flag_context_made) != 0,
                        old, kind);
    gc::ProtectNode keep_ctx(&ctx);
    if (!is_stack(ctx))
        for (int32_t i = 0; i < n; i++) append_unset_value(ctx);
    owner->w1 = ctx;
}

int32_t find_word(uint32_t ctx, int32_t symbol, bool alias) { return probe(ctx, symbol, alias, nullptr); }

int32_t find_or_add_word(uint32_t ctx, int32_t symbol, bool alias, int32_t* out) {
    grow_if_needed(words_table(ctx));
    int32_t empty = -1;
    int32_t slot = probe(ctx, symbol, alias, &empty);
    if (slot >= 0) return slot;
    uint32_t keys = words_node(ctx);
    int32_t n = int32_t(nodes::buffer(keys)->count());
    *series::alloc_tail_cell(keys) = {type_word, ctx, uint32_t(symbol), uint32_t(n)};
    hashtable::Record* r = hashtable::record(words_table(ctx));
    if (empty < 0) {
        // Below the threshold a path always meets an empty bucket; should
        // it not, a larger table has one.
        hashtable::resize_in_place(words_table(ctx), r->size * 2);
        probe(ctx, symbol, alias, &empty);
        r = hashtable::record(words_table(ctx));
    }
    if (hashtable::bucket_state(r, uint32_t(empty)) == hashtable::state_empty) r->occupied++;
    hashtable::set_bucket_state(r, uint32_t(empty), hashtable::state_used);
    hashtable::bucket_array(r)[empty] = n;
    r->count++;
    if (out) *out = n;
    return -1;
}

int32_t add_word(uint32_t ctx, int32_t symbol) {
    int32_t n;
    int32_t slot = find_or_add_word(ctx, symbol, true, &n);
    if (slot >= 0) return slot;
    append_unset_value(ctx);
    return n;
}

Cell* add_word_with_value(uint32_t ctx, int32_t symbol, const Cell* value) {
    if (find_word(ctx, symbol, true) >= 0) return nullptr;
    gc::Local v(*value);
    int32_t slot = add_word(ctx, symbol);
    Cell* target = value_slot(ctx, slot, err::script::not_defined);
    *target = v;
    return target;
}

Cell* put_word_value(uint32_t ctx, int32_t symbol, const Cell* value) {
    gc::Local v(*value);
    int32_t slot = find_word(ctx, symbol, true);
    if (slot < 0) slot = add_word(ctx, symbol);
    Cell* target = value_slot(ctx, slot, err::script::not_defined);
    *target = v;
    return target;
}

bool collect_set_words(uint32_t ctx, const Cell* block) {
    uint32_t node = block->w2;
    int32_t from = int32_t(block->w1);
    gc::ProtectNode keep(&node);
    int32_t before = word_count(ctx);
    for (int32_t i = from; i < int32_t(nodes::buffer(node)->count()); i++) {
        const Cell* c = series::cells_head(node) + i;
        if (cell::type(c) == type_set_word) add_word(ctx, int32_t(c->w2));
    }
    return word_count(ctx) > before;
}

Cell* set_in(Cell* word, const Cell* value, uint32_t ctx, bool notify) {
    gc::Local w(*word);
    gc::Local v(*value);
    if (int32_t(w.w3) == -1) {
        int32_t slot = find_word(ctx, int32_t(w.w2), false);
        if (slot < 0) slot = add_word(ctx, int32_t(w.w2));
        w.w3 = uint32_t(slot);
        word->w3 = w.w3;
    }
    int32_t index = int32_t(w.w3);
    Cell* target = value_slot(ctx, index, err::script::not_defined);
    if (!notifies(ctx)) {
        *target = v;
        return target;
    }
    word_at(ctx, index)->header |= cell::flag_slot_changed;
    gc::Local owner(*owner_cell(ctx));
    if (notify && owner.w3 != 0) {
        gc::Local old(*target);
        *target = v;
        services::current.change_handler(&owner, &w, &old, &v);
        return value_slot(ctx, index, err::script::not_defined);
    }
    *target = v;
    return target;
}

Cell* set_word_value(Cell* word, const Cell* value) { return set_in(word, value, word->w1, true); }

void set_integer(Cell* word, int32_t n) {
    Cell v;
    cell::make_integer(&v, n);
    set_word_value(word, &v);
}

Cell* word_value_address(const Cell* word, uint32_t ctx) {
    int32_t index = int32_t(word->w3);
    if (index >= 0) return value_slot(ctx, index, err::script::not_in_context);
    if (int32_t(word->w2) == self_symbol() && word->w1) return owner_cell(word->w1);
    raise_with_word(err::script::no_value, ctx, index);
}

Cell* get_word_value(const Cell* word) { return word_value_address(word, word->w1); }

Cell* value_of_symbol(uint32_t ctx, int32_t symbol) {
    if (is_stack(ctx)) ctx = global;
    int32_t slot = find_word(ctx, symbol, true);
    if (slot < 0) return nullptr;
    return value_slot(ctx, slot, err::script::not_defined);
}

Cell* global_value_address(int32_t symbol) { return value_of_symbol(global, symbol); }

void get_global_value(int32_t symbol, Cell* out) {
    int32_t slot = find_word(global, symbol, false);
    if (slot < 0) {
        make_global(symbol);
        slot = find_word(global, symbol, false);
    }
    *out = *value_slot(global, slot, err::script::not_defined);
}

Cell add_to_global(int32_t symbol, bool alias, bool new_flag) {
    int32_t n;
    int32_t slot = find_or_add_word(global, symbol, alias, &n);
    if (slot >= 0) {
        Cell w = *word_at(global, slot);
        if (alias && new_flag && int32_t(w.w2) != symbol) {
            // The same slot under another spelling.
            w.w2 = uint32_t(symbol);
            auto i = size_t(symbol);
            if (i >= kept_spellings.size()) kept_spellings.resize(i + 1024);
            if (!kept_spellings[i]) {
                *series::alloc_tail_cell(keep_alive) = w;
                kept_spellings[i] = true;
            }
        }
        return w;
    }
    if (symbols::alias_of(symbol) > 0) {
        // A case variant shares the slot of the first spelling.
        int32_t first = find_word(global, symbol, true);
        if (first >= 0) word_at(global, n)->w3 = uint32_t(first);
    }
    append_unset_value(global);
    return *word_at(global, n);
}

Cell make_global(int32_t symbol) {
    Cell w = add_to_global(symbol, false, false);
    record_word(w);
    return w;
}

Cell load_word(const char* text) {
    Cell w = add_to_global(symbols::make(text), true, true);
    record_word(w);
    return w;
}

void bind_word(uint32_t ctx, Cell* word) {
    int32_t slot = find_word(ctx, int32_t(word->w2), true);
    if (slot < 0) return;
    word->w1 = ctx;
    word->w3 = uint32_t(slot);
}

namespace {

// A filter of the context's words by canonical symbol: a word whose bit is
// clear is not in the context, and binding it would probe the table for
// nothing. Most words of a body are not the function's own, so binding
// probes only the few that may be. A large context (the global one) fills
// the filter and is probed word by word.
struct WordFilter {
    static constexpr int32_t largest = 64;
    uint64_t bits[4] = {};
    bool all = false;

    explicit WordFilter(uint32_t ctx) {
        int32_t n = word_count(ctx);
        if (n > largest) {
            all = true;
            return;
        }
        const Cell* w = words_head(ctx);
        for (int32_t i = 0; i < n; i++) add(symbols::resolve(int32_t(w[i].w2)));
    }
    void add(int32_t canonical) { bits[(canonical >> 6) & 3] |= uint64_t(1) << (canonical & 63); }
    bool may_hold(int32_t symbol) const {
        if (all) return true;
        int32_t canonical = symbols::resolve(symbol);
        return (bits[(canonical >> 6) & 3] >> (canonical & 63)) & 1;
    }
};

void bind_walk(const Cell* block, uint32_t ctx, bool self, int32_t self_id, const WordFilter& filter) {
    uint32_t node = block->w2;
    if (!node || cycles::find(node)) return;
    cycles::Visit visit(node);
    // Binding allocates nothing, so the cells stay where they are.
    Cell* c = series::cells_mut(node) + block->w1;
    const Cell* end = series::cells_tail(node);
    for (; c < end; c++) {
        uint8_t t = cell::type(c);
        if (is_block_kind(t)) {
            bind_walk(c, ctx, self, self_id, filter);
        } else if (t >= type_word && t <= type_refinement) {
            if (self && t == type_word && int32_t(c->w2) == self_id) {
                c->w1 = ctx;
                c->w3 = uint32_t(-1);
            } else if (filter.may_hold(int32_t(c->w2))) {
                bind_word(ctx, c);
            }
        }
    }
}

}  // namespace

void bind_block(const Cell* block, uint32_t ctx, bool self) {
    if (!block->w2) return;
    WordFilter filter(ctx);
    bind_walk(block, ctx, self, self ? self_symbol() : 0, filter);
}

void init_global() {
    self_id = symbols::make("self");
    global = make(global_words, false, false, 0, kind_global);
    gc::roots.global_context = global;
    keep_alive = memory::alloc_cells(16);
    kept_spellings.clear();
    if (gc::roots.root_block.w2) {
        Cell b;
        cell::make_series(&b, type_block, keep_alive);
        *series::alloc_tail(&gc::roots.root_block) = b;
    }
}

}  // namespace vum::context
