#include "datatypes/map.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-helpers.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::map_type {

namespace {

using namespace actions;
namespace rs = runtime_symbols;

const Cell none_value = {type_none, 0, 0, 0};

// Lookup modes of the hash table, and sameness on top of them.
enum Mode : int32_t { mode_fold = 0, mode_case = 2, mode_same = 9 };

int32_t mode_of(bool case_sensitive, bool same) { return same ? mode_same : case_sensitive ? mode_case : mode_fold; }

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_get_word; }

// The pair block's cells, counted from its start (a map's block never has
// another head).
int32_t cell_count(uint32_t pairs) { return int32_t(nodes::buffer(pairs)->count()); }
// A map's pairs are data, never code.
Cell* pair_cell(uint32_t pairs, int32_t i) { return series::cells_mut_untracked(pairs) + i; }
// A removed pair's value cell has an empty header.
bool is_live(uint32_t pairs, int32_t key_index) { return pair_cell(pairs, key_index + 1)->header != 0; }

// A key as the language shows it: set-word keys are words.
Cell shown_key(const Cell* key) {
    Cell k = *key;
    if (cell::type(&k) == type_set_word) cell::set_type(&k, type_word);
    cell::clear_new_line(&k);
    return k;
}

// The index of the key cell that matches under the mode, removed pairs
// included; -1 when there is none. The key is hashed and compared where it
// lies, never copied; *hash receives its hash.
int32_t lookup(const Cell* map, const Cell* key, int32_t mode, uint32_t* hash) {
    int32_t i = hashtable::find_map_key(cell::hash_table(map), key, mode == mode_same ? mode_case : mode, hash);
    if (i < 0 || mode != mode_same) return i;
    // Keys are unique under strict equality, so the strict match is the
    // only candidate for sameness.
    gc::Local k(*pair_cell(cell::series_node(map), i));
    gc::Local probe(*key);
    if (is_word_kind(cell::type(&probe))) cell::set_type(&probe, type_set_word);
    return call_compare(&k, &probe, op_same) == 0 ? i : -1;
}

// The live pair's key index, or -1.
int32_t lookup_live(const Cell* map, const Cell* key, int32_t mode) {
    uint32_t hash;
    int32_t i = lookup(map, key, mode, &hash);
    return i >= 0 && is_live(cell::series_node(map), i) ? i : -1;
}

// Sets a key's value, appending the pair when the key is absent and
// bringing a removed pair back. The map cell must not move.
void set_pair(const Cell* map, const Cell* key, const Cell* value, int32_t mode) {
    gc::Local k(*key);
    gc::Local v(*value);
    uint32_t hash;
    int32_t i = lookup(map, &k, mode, &hash);
    if (i >= 0) {
        Cell* slot = pair_cell(cell::series_node(map), i + 1);
        if (slot->header == 0) hashtable::record(cell::hash_table(map))->count++;
        *slot = v;
        return;
    }
    // Only a key that goes in is copied.
    prepare_key(&k);
    auto* pair = reinterpret_cast<Cell*>(series::alloc_tail_bytes(cell::series_node(map), 32));
    pair[0] = k;
    pair[1] = v;
    int32_t index = int32_t(pair - series::cells_head(cell::series_node(map)));
    // The prepared key hashes as the probe did (text copied from its head,
    // words made set-words), but for a binary! that is not byte-wide: that
    // one hashes by its node, which the copy changed.
    if (cell::type(&k) == type_binary) hash = hashtable::hash_value(pair, 0);
    hashtable::put_map_key(cell::hash_table(map), index, hash);
}

// Room for n more cells at the pair block's tail, made at once.
void reserve(uint32_t pairs, int32_t n) {
    SeriesBuffer* b = nodes::buffer(pairs);
    int64_t need = int64_t(b->tail) + int64_t(n) * 16;
    if (need <= int64_t(b->size)) return;
    if (need > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    memory::expand_copy(pairs, int32_t(need));
}

// A new block! of room for n cells, in a protected cell of the caller's.
Cell new_block(int32_t n) {
    Cell b = none_value;
    block_actions::make_at(&b, n);
    return b;
}

void append(const Cell* block, const Cell* value) { block_actions::append_copy(block, value); }

// ------------------------------------------------------------ text

using string::put_char;
using string::put_indent;
using string::put_text;

// The live pairs as `key value`: one a line with mold's indentation, or
// separated by line breaks (form, /only) or spaces (/flat).
int32_t write_pairs(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, bool form, const Cell* arg,
                    int32_t limit, int32_t indent) {
    gc::Local m(*value);
    gc::ProtectNode keep_buffer(&buffer);
    gc::Local c(none_value);
    cycles::Visit visit(cell::series_node(&m));
    bool line_per_pair = !form && !only && !flat;
    uint32_t separator = flat ? ' ' : '\n';
    int32_t written = 0;
    for (int32_t i = 0; i + 1 < cell_count(cell::series_node(&m)); i += 2) {
        if (arg && limit <= 0) break;
        if (!is_live(cell::series_node(&m), i)) continue;
        if (line_per_pair) {
            if (written == 0) put_char(buffer, '\n', &limit);
            put_indent(buffer, indent + 1, &limit);
        } else if (written > 0) {
            put_char(buffer, separator, &limit);
        }
        written++;
        c = *pair_cell(cell::series_node(&m), i);
        cell::clear_new_line(&c);
        limit = call_mold(&c, buffer, false, all, flat, arg != nullptr, limit, indent + 1);
        put_char(buffer, ' ', &limit);
        if (i + 1 < cell_count(cell::series_node(&m))) c = *pair_cell(cell::series_node(&m), i + 1);
        limit = call_mold(&c, buffer, false, all, flat, arg != nullptr, limit, indent + 1);
        if (line_per_pair) put_char(buffer, '\n', &limit);
    }
    if (line_per_pair && written > 0 && indent >= 1) put_indent(buffer, indent, &limit);
    return limit;
}

// ------------------------------------------------------------ copy

bool deep_copied(uint8_t t) {
    return block_actions::is_series_kind(t) || t == type_map || t == type_bitset;
}

// The copy of a map, its values copied as the refinements ask.
void copy_map(const Cell* source, Cell* result, bool deep, const Cell* types) {
    gc::Local s(*source);
    if (deep && cycles::find(cell::series_node(&s))) {
        cycles::reset();
        errors::raise(err::internal::no_cycle);
    }
    int32_t n = cell_count(cell::series_node(&s));
    gc::Local out({type_block, 0, series::copy_part(cell::series_node(&s), 0, n), 0});
    if (types) {
        gc::Local kind(*types);
        cycles::VisitIf visit(cell::series_node(&s), deep);
        block_actions::copy_nested_values(&out, 1, n, 2, deep, &kind);
    } else if (deep) {
        cycles::Visit visit(cell::series_node(&s));
        gc::Local c(none_value);
        for (int32_t i = 1; i < cell_count(cell::series_node(&out)); i += 2) {
            c = *pair_cell(cell::series_node(&out), i);
            if (c.header == 0 || !deep_copied(cell::type(&c)) || !datatype::handler(cell::type(&c), slot_copy))
                continue;
            uint32_t line = c.header & cell::flag_new_line;
            call_copy(&c, &c, nullptr, true, nullptr);
            c.header = (c.header & ~uint32_t(cell::flag_new_line)) | line;
            *pair_cell(cell::series_node(&out), i) = c;
        }
    }
    uint32_t table = hashtable::copy_table(cell::hash_table(&s), cell::series_node(&out));
    *result = {type_map, 0, cell::series_node(&out), table};
}

// ------------------------------------------------------------ make, to

void build(const Cell* spec_cell, bool make, Cell* result) {
    gc::Local spec(*spec_cell);
    switch (cell::type(&spec)) {
        case type_block:
        case type_paren:
        case type_hash: {
            int32_t n = std::max(series::length_from_head(&spec), 0);
            if (n % 2) errors::raise(err::script::invalid_arg, &spec);
            gc::Local pairs(
                {type_block, 0, series::copy_part(cell::series_node(&spec), cell::series_index(&spec), n), 0});
            for (int32_t i = 0; i < n; i++) cell::clear_new_line(pair_cell(cell::series_node(&pairs), i));
            make_at(result, &pairs, n / 2);
            return;
        }
        case type_integer:
        case type_float: {
            if (!make) errors::raise_bad_to(type_map, &spec);
            int32_t n = integer::from_number(&spec);
            if (n < 0) errors::raise(err::script::out_of_range, &spec);
            make_at(result, nullptr, n);
            return;
        }
        case type_map:
            copy_map(&spec, result, false, nullptr);
            return;
        default:
            errors::raise_bad_to(type_map, &spec);
    }
}

}  // namespace

bool make_literal(const Cell* cells, int32_t count, Cell* result) {
    if (count < 0 || count % 2) return false;
    for (int32_t i = 0; i < count; i += 2)
        if (!valid_key_type(cell::type(cells + i))) return false;
    gc::Local pairs({type_block, 0, memory::alloc_cells(std::max(count, 2)), 0});
    SeriesBuffer* b = nodes::buffer(cell::series_node(&pairs));  // fresh pairs: no barrier
    if (count > 0) std::memcpy(b->head_ptr(), cells, size_t(count) * 16);
    b->tail = b->head + uint32_t(count) * 16;
    for (int32_t i = 0; i < count; i++) cell::clear_new_line(pair_cell(cell::series_node(&pairs), i));
    make_at(result, &pairs, count / 2);
    return true;
}

// ------------------------------------------------------------ keys

bool valid_key_type(uint8_t t) {
    switch (t) {
        case type_string: case type_file: case type_url: case type_char: case type_integer: case type_float:
        case type_word: case type_set_word: case type_lit_word: case type_get_word: case type_refinement:
        case type_issue: case type_pair: case type_percent: case type_tuple: case type_binary: case type_time:
        case type_tag: case type_email: case type_date: case type_money: case type_ref: case type_point2d:
        case type_point3d:
            return true;
        default:
            return false;
    }
}

void prepare_key(Cell* key) {
    uint8_t t = cell::type(key);
    if (!valid_key_type(t)) {
        Cell type = cell::make_datatype(t);
        errors::raise(err::script::invalid_key_type, &type);
    }
    cell::clear_new_line(key);
    switch (t) {
        case type_string: case type_file: case type_url: case type_binary: case type_tag: case type_email:
        case type_ref: {
            int32_t n = cell::series_node(key) ? int32_t(nodes::buffer(cell::series_node(key))->count()) : 0;
            uint32_t node =
                series::copy_part(cell::series_node(key), cell::series_index(key), n - cell::series_index(key));
            cell::set_series_index(key, 0);
            cell::set_series_node(key, node);
            return;
        }
        case type_word: case type_lit_word: case type_get_word:
            cell::set_type(key, type_set_word);
            return;
        default:
            return;
    }
}

// ------------------------------------------------------------ services

void make_at(Cell* c, const Cell* block, int32_t size) {
    gc::Local pairs(none_value);
    if (block) {
        pairs = *block;
    } else {
        int64_t cells = std::max<int64_t>(2 * int64_t(std::max(size, 0)), 2);
        if (cells * 16 > cell::max_series_bytes) errors::raise(err::internal::no_memory);
        pairs = {type_block, 0, memory::alloc_cells(int32_t(cells)), 0};
    }
    int32_t room = std::max(size, cell_count(cell::series_node(&pairs)) / 2);
    uint32_t table = hashtable::create(room, &pairs, hashtable::kind_map, 0);
    *c = {type_map, 0, cell::series_node(&pairs), table};
}

int32_t count(const Cell* map) { return int32_t(hashtable::record(cell::hash_table(map))->count); }

Cell* push(const Cell* map) { return stack::push_copy(map); }

void set_value(const Cell* map, const Cell* key, const Cell* value, bool case_sensitive) {
    gc::Local m(*map);
    set_pair(&m, key, value, case_sensitive ? mode_case : mode_fold);
}

void extend(const Cell* map, const Cell* spec, bool case_sensitive) {
    gc::Local m(*map);
    gc::Local s(*spec);
    gc::Local k(none_value);
    gc::Local v(none_value);
    int32_t mode = case_sensitive ? mode_case : mode_fold;
    if (cell::type(&s) == type_map) {
        for (int32_t i = 0; i + 1 < cell_count(cell::series_node(&s)); i += 2) {
            if (!is_live(cell::series_node(&s), i)) continue;
            k = *pair_cell(cell::series_node(&s), i);
            v = *pair_cell(cell::series_node(&s), i + 1);
            set_pair(&m, &k, &v, mode);
        }
        return;
    }
    int32_t n = std::max(series::length_from_head(&s), 0);
    if (n % 2) errors::raise(err::script::invalid_arg, &s);
    reserve(cell::series_node(&m), n);
    for (int32_t j = 0; j < n; j += 2) {
        int32_t at = cell::series_index(&s) + j;
        if (at + 1 >= block_actions::buffer_length(cell::series_node(&s))) break;
        k = *block_actions::cell_at(cell::series_node(&s), at);
        v = *block_actions::cell_at(cell::series_node(&s), at + 1);
        set_pair(&m, &k, &v, mode);
    }
}

bool foreach_step(Cell* position, const Cell* words, int32_t n, SetWordFn set_word) {
    gc::Local w(none_value);
    gc::Local v(none_value);
    auto loop_word = [&](int32_t i) {
        int32_t at = cell::series_index(words) + i;
        if (at >= block_actions::buffer_length(cell::series_node(words)))
            errors::raise(err::script::invalid_arg, words);
        Cell entry = *block_actions::cell_at(cell::series_node(words), at);
        if (!is_word_kind(cell::type(&entry))) errors::raise(err::script::invalid_arg, &entry);
        return entry;
    };
    for (int32_t i = 0; i < n; i++) loop_word(i);
    // The loop walks a copy of the map's cell; its w1, unused by map!,
    // holds the position in the key and value cells.
    uint32_t pairs = cell::series_node(position);
    int32_t at = int32_t(position->w1);
    bool took = false;
    for (int32_t i = 0; i < n; i++) {
        // Setting a word may allocate and the body may change the map: its
        // cells are read afresh for each word.
        while (at % 2 == 0 && at + 1 < cell_count(pairs) && !is_live(pairs, at)) at += 2;
        if (at < cell_count(pairs)) {
            v = *pair_cell(pairs, at);
            if (at % 2 == 0) v = shown_key(&v);
            at++;
            took = true;
        } else {
            v = none_value;
        }
        w = loop_word(i);
        set_word(&w, &v);
    }
    position->w1 = uint32_t(at);
    return took;
}

// ------------------------------------------------------------ handlers

void make(const Cell*, const Cell* spec, int32_t, Cell* result) { build(spec, true, result); }

void to(const Cell*, const Cell* spec, int32_t, Cell* result) { build(spec, false, result); }

void reflect(const Cell* value, int32_t field_symbol, Cell* result) {
    gc::Local m(*value);
    int32_t field = symbols::resolve(field_symbol);
    bool words = field == symbols::resolve(rs::id(rs::sym_words));
    bool values = field == symbols::resolve(rs::id(rs::sym_values));
    bool body = field == symbols::resolve(rs::id(rs::sym_body));
    if (!words && !values && !body) errors::raise(err::internal::not_done);
    int32_t n = count(&m);
    gc::Local b(new_block(body ? 2 * n : n));
    gc::Local c(none_value);
    for (int32_t i = 0; i + 1 < cell_count(cell::series_node(&m)); i += 2) {
        if (!is_live(cell::series_node(&m), i)) continue;
        if (words) {
            c = shown_key(pair_cell(cell::series_node(&m), i));
            append(&b, &c);
        } else if (values) {
            c = *pair_cell(cell::series_node(&m), i + 1);
            append(&b, &c);
        } else {
            c = *pair_cell(cell::series_node(&m), i);
            c.header |= cell::flag_new_line;
            append(&b, &c);
            c = *pair_cell(cell::series_node(&m), i + 1);
            cell::clear_new_line(&c);
            append(&b, &c);
        }
    }
    *result = b;
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (block_actions::emit_ellipsis(value, buffer, &limit, false)) return limit;
    return write_pairs(value, buffer, false, false, false, true, arg, limit, 0);
}

int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent) {
    if (block_actions::emit_ellipsis(value, buffer, &limit, true)) return limit;
    if (!only) put_text(buffer, "#[", &limit);
    limit = write_pairs(value, buffer, only, all, flat, false, arg, limit, indent);
    if (!only) put_text(buffer, "]", &limit);
    return limit;
}

void eval_path(const PathStep& step, Cell* result) {
    gc::Local m(*step.parent);
    gc::Local key(*step.element);
    int32_t mode = step.case_sensitive ? mode_case : mode_fold;
    if (!step.value) {
        int32_t i = lookup_live(&m, &key, mode);
        *result = i < 0 ? none_value : *pair_cell(cell::series_node(&m), i + 1);
        return;
    }
    gc::Local v(*step.value);
    set_pair(&m, &key, &v, mode);
    *result = v;
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_map) return not_comparable;
    if (op == op_sort || op == op_case_sort)
        return cell::series_node(a) < cell::series_node(b) ? -1 : cell::series_node(a) > cell::series_node(b) ? 1 : 0;
    if (cell::series_node(a) == cell::series_node(b)) return 0;
    if (op == op_same) return -1;
    if (cycles::find(cell::series_node(a))) return cycles::find(cell::series_node(b)) ? 0 : 1;
    int32_t na = count(a), nb = count(b);
    if (na != nb) {
        bool equality = op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_find;
        return equality || na > nb ? 1 : -1;
    }
    if (na == 0) return 0;
    gc::Local x(*a);
    gc::Local y(*b);
    gc::Local key(none_value);
    gc::Local value(none_value);
    gc::Local other(none_value);
    cycles::Visit visit_a(cell::series_node(&x));
    cycles::Visit visit_b(cell::series_node(&y));
    for (int32_t i = 0; i + 1 < cell_count(cell::series_node(&x)); i += 2) {
        if (!is_live(cell::series_node(&x), i)) continue;
        key = *pair_cell(cell::series_node(&x), i);
        value = *pair_cell(cell::series_node(&x), i + 1);
        if (op == op_strict_equal) {
            int32_t j = lookup_live(&y, &key, mode_case);
            if (j < 0) return 1;
            other = *pair_cell(cell::series_node(&y), j + 1);
            if (!actions::compare(&value, &other, op_strict_equal)) return 1;
            continue;
        }
        // Every key of the other map that matches without case is a
        // candidate: the first with an equal value pairs off.
        bool matched = false;
        int32_t bucket = -1, start = 0, step = 0;
        while (Cell* found = hashtable::find_next_key(cell::hash_table(&y), &key, &bucket, &start, &step)) {
            int32_t j = int32_t(found - series::cells_head(cell::series_node(&y)));
            if (!is_live(cell::series_node(&y), j)) continue;
            other = *pair_cell(cell::series_node(&y), j + 1);
            if (actions::compare(&value, &other, op_equal)) {
                matched = true;
                break;
            }
        }
        if (!matched) return 1;
    }
    return 0;
}

void clear(Cell* value, Cell* result) {
    hashtable::clear_table(cell::hash_table(value));
    SeriesBuffer* b = nodes::buffer(cell::series_node(value));
    b->tail = b->head;  // a map's pairs are data, never code
    *result = *value;
}

void copy(const Cell* series, Cell* result, const Cell*, bool deep, const Cell* types) {
    copy_map(series, result, deep, types);
}

void find(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    int32_t i = lookup_live(series, value, mode_of(options.case_sensitive, options.same));
    *result = i < 0 ? none_value : shown_key(pair_cell(cell::series_node(series), i));
}

int32_t length(Cell* value) { return count(value); }

void put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result) {
    gc::Local v(*value);
    set_value(series, key, &v, case_sensitive);
    *result = v;
}

void remove(Cell* series, const Cell*, const Cell* key, Cell* result) {
    if (!key) errors::raise(err::script::missing_arg);
    gc::Local m(*series);
    int32_t i = lookup_live(&m, key, mode_case);
    if (i >= 0) hashtable::remove_key(cell::hash_table(&m), pair_cell(cell::series_node(&m), i));
    *result = m;
}

void select(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    int32_t i = lookup_live(series, value, mode_of(options.case_sensitive, options.same));
    *result = i < 0 ? none_value : *pair_cell(cell::series_node(series), i + 1);
}

// ------------------------------------------------------------ registration

void init() {
    Row r(type_map, "map!");
    r.set<slot_make>(make)
        .set<slot_reflect>(reflect)
        .set<slot_to>(to)
        .set<slot_form>(form)
        .set<slot_mold>(mold)
        .set<slot_eval_path>(eval_path)
        .set<slot_compare>(compare)
        .set<slot_clear>(clear)
        .set<slot_copy>(copy)
        .set<slot_find>(find)
        .set<slot_length_q>(length)
        .set<slot_put>(put)
        .set<slot_remove>(remove)
        .set<slot_select>(select);
    datatype::register_type(r);
}

}  // namespace vum::map_type
