#include "datatypes/hash.h"

#include <algorithm>
#include <cmath>

#include "datatypes/block-search.h"
#include "datatypes/block.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/hash-table.h"
#include "memory/raise-error.h"
#include "memory/runtime-helpers.h"
#include "memory/typed-access.h"

namespace vum::hash_type {

namespace {

using namespace actions;
using block_actions::buffer_length;
using block_actions::cell_at;

const Cell none_value = {type_none, 0, 0, 0};

constexpr int64_t max_cells = cell::max_series_cells;

// ------------------------------------------------------------ searching

// The table compares its keys with the language's comparison while a hash!
// is searched, so that a lookup agrees with block!'s scan (a word matches a
// set-word of the same name, a string a string of another letter case).
// Keys are copied first: a comparison may allocate and move the buffer the
// table hands its cells from.
int32_t language_compare(const Cell* a, const Cell* b, int32_t op) {
    gc::Local x(*a);
    gc::Local y(*b);
    return actions::compare(&x, &y, op) ? 0 : 1;
}

class LanguageCompare {
public:
    LanguageCompare() : saved_(hashtable::compare_cells) { hashtable::compare_cells = language_compare; }
    ~LanguageCompare() { hashtable::compare_cells = saved_; }
    LanguageCompare(const LanguageCompare&) = delete;
    LanguageCompare& operator=(const LanguageCompare&) = delete;

private:
    hashtable::CompareFn saved_;
};

// Whether the index answers this search as block!'s scan would: not for a
// sequence of values, a datatype or typeset standing for its members, a
// match at the head only, or an object compared by contents.
bool indexed(const Cell* series, const Cell* value, const FindOptions& o) {
    if (cell::type(series) != type_hash || !series->w3) return false;
    // A table built over another buffer cannot answer for this one.
    if (hashtable::record(series->w3)->keys != series->w2) return false;
    uint8_t t = cell::type(value);
    if (o.match) return false;
    if (block_actions::is_any_block(t) && !(o.only && o.same)) return false;
    if ((t == type_datatype || t == type_typeset) && !o.only) return false;
    if (t == type_object && !o.same) return false;
    return true;
}

// Where the index finds the value, by find's rules; -1 for none. The search
// runs from the head forwards, or backwards from the tail (/last, no further
// back than the head) or from before the head (/reverse); /part sets where a
// backward search starts and where a forward one ends.
int32_t lookup(const Cell* s, const Cell* v, const FindOptions& o) {
    int32_t length = buffer_length(s->w2);
    int32_t head = int32_t(s->w1);
    if (length == 0 || (!o.reverse && head >= length)) return -1;
    int32_t step = 1;
    if (o.skip) {
        if (cell::type(o.skip) != type_integer) errors::raise_refine_arg("skip", o.skip);
        if (cell::get_integer(o.skip) < 1) errors::raise(err::script::out_of_range, o.skip);
        step = cell::get_integer(o.skip);
    }
    int32_t limit = -1;
    if (o.part) {
        if (cell::type(o.part) == type_integer) {
            int32_t n = cell::get_integer(o.part);
            if (n < 1) return -1;
            limit = int32_t(std::min<int64_t>(int64_t(head) + n - 1, length - 1));
        } else if (block_actions::is_series_kind(cell::type(o.part)) && o.part->w2 == s->w2) {
            limit = std::min(int32_t(o.part->w1), length - 1);
        } else {
            errors::raise_refine_arg("part", o.part);
        }
    }
    int32_t op = o.same ? op_same : o.case_sensitive ? op_strict_equal : op_find;
    LanguageCompare language;
    if (!o.last && !o.reverse) {
        const Cell* found = hashtable::find(s->w3, v, head, step, op, false, false);
        if (!found) return -1;
        int32_t at = int32_t(found - cell_at(s->w2, 0));
        return limit >= 0 && at > limit ? -1 : at;
    }
    // Backwards, the first cell met is the last one at or before the start
    // that lies a whole number of steps from it: the table's reverse search
    // from just after the start.
    int32_t start = limit >= 0 ? limit : o.last ? length - 1 : head - 1;
    start = std::min(start, length - 1);
    if (start < 0) return -1;
    const Cell* found = hashtable::find(s->w3, v, start + 1, step, op, false, true);
    if (!found) return -1;
    int32_t at = int32_t(found - cell_at(s->w2, 0));
    if (o.last && at < head) return -1;
    return at;
}

// ------------------------------------------------------------ handlers

void hash_copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);

void hash_to(const Cell* prototype, const Cell* value, int32_t, Cell* result) {
    if (cell::type(value) == type_hash) {
        hash_copy(value, result, nullptr, false, nullptr);
        return;
    }
    // Converted as to block! converts it; the index goes over that block.
    gc::Local converted(none_value);
    actions::handler<slot_to>(type_block)(prototype, value, type_block, &converted);
    index_in_place(&converted, std::max(block_actions::length_from_head(&converted), 1));
    *result = converted;
}

void hash_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    if (t == type_integer || t == type_float) {
        int32_t n = std::max(integer::from_number(spec), 1);
        if (n > max_cells) errors::raise(err::internal::no_memory);
        gc::Local fresh(none_value);
        block_actions::make_at(&fresh, n);
        index_in_place(&fresh, n);
        *result = fresh;
        return;
    }
    if (t == type_block) {
        gc::Local fresh(none_value);
        block_actions::clone(spec, false, false, &fresh);
        index_in_place(&fresh, std::max(block_actions::length_from_head(&fresh), 1));
        *result = fresh;
        return;
    }
    if (t == type_hash) {
        hash_copy(spec, result, nullptr, false, nullptr);
        return;
    }
    hash_to(prototype, spec, type, result);
}

void hash_copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    gc::Local s(*series);
    bool whole = s.w1 == 0 && !part && !deep && !types && s.w3 != 0;
    // block!'s copy, told nothing of the table: the copy's own index is made
    // here, whatever block! would have done with it.
    Cell plain = s;
    plain.w3 = 0;
    gc::Local out(none_value);
    block_actions::copy(&plain, &out, part, deep, types);
    if (whole) {
        uint32_t table = hashtable::copy_table(s.w3, out.w2);
        cell::set_type(&out, type_hash);
        out.w3 = table;
    } else {
        index_in_place(&out, std::max(block_actions::length_from_head(&out), 1));
    }
    *result = out;
}

int32_t hash_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
                  int32_t indent) {
    if (!only) {
        limit = string::put_limited(buffer, "make hash! ", arg, limit);
        if (string::limit_used(arg, limit)) return limit;
    }
    return block_actions::mold(value, buffer, only, all, flat, arg, limit, indent);
}

// A get path with anything but an index is a select through the index;
// indexes and every set path are block!'s.
void hash_eval_path(const PathStep& step, Cell* result) {
    if (step.value || cell::type(step.element) == type_integer) {
        block_actions::eval_path(step, result);
        return;
    }
    FindOptions options;
    options.only = true;
    options.case_sensitive = step.case_sensitive;
    select(step.parent, step.element, options, result);
}

}  // namespace

void index_in_place(Cell* c, int32_t size) {
    Cell from = *c;
    from.w1 = 0;
    cell::set_type(&from, type_hash);
    from.w3 = 0;
    uint32_t table = hashtable::create(std::max(size, 1), &from, hashtable::kind_hash, 0);
    cell::set_type(c, type_hash);
    c->w3 = table;
}

void find(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    if (!indexed(series, value, options)) {
        block_search::find(series, value, options, result);
        return;
    }
    gc::Local s(*series);
    gc::Local v(*value);
    int32_t at = lookup(&s, &v, options);
    if (at < 0) {
        *result = none_value;
        return;
    }
    if (options.tail) {
        int32_t step = options.skip ? cell::get_integer(options.skip) : 1;
        at += options.last || options.reverse ? 1 : step;
    }
    *result = s;
    result->w1 = uint32_t(std::min(at, buffer_length(s.w2)));
}

void select(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    FindOptions o = options;
    o.tail = o.match = false;
    if (!indexed(series, value, o)) {
        block_search::select(series, value, o, result);
        return;
    }
    gc::Local s(*series);
    gc::Local v(*value);
    int32_t at = lookup(&s, &v, o);
    if (at < 0 || at + 1 >= buffer_length(s.w2)) {
        *result = none_value;
        return;
    }
    *result = *cell_at(s.w2, at + 1);
}

void init() {
    Row r(type_hash, "hash!", type_block);
    // block!'s own, or series!'s through block! (all but random): the
    // modifying ones keep the index in step through the block module's hash!
    // hooks. sort and trim re-index what they rearranged in the same way.
    r.inherit(series_slots)
        .without<slot_random>()
        .inherit<slot_form, slot_compare, slot_append, slot_change, slot_insert, slot_put, slot_swap, slot_sort,
                 slot_trim>()
        .set<slot_make>(hash_make)
        .set<slot_to>(hash_to)
        .set<slot_mold>(hash_mold)
        .set<slot_eval_path>(hash_eval_path)
        .set<slot_copy>(hash_copy)
        .set<slot_find>(find)
        .set<slot_select>(select);
    datatype::register_type(r);
}

}  // namespace vum::hash_type
