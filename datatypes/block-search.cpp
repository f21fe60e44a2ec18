#include "datatypes/block-search.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/block.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/hash-table.h"
#include "memory/interrupt.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/refinement-args.h"
#include "memory/series.h"
#include "memory/sort.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::block_search {

void call_function(const Cell* function, const Cell* a, const Cell* b, Cell* result) {
    call::Call(function).arg(a).arg(b).run(result);
}

CallComparator call_comparator = call_function;

namespace {

using namespace actions;
using block_actions::buffer_length;
using block_actions::cell_at;
using block_actions::is_any_block;
using block_actions::is_series_kind;
using block_actions::length_from_head;
using refinement_args::bad_refinement;

const Cell none_value = {type_none, 0, 0, 0};

constexpr int64_t max_cells = cell::max_series_cells;

int32_t checked_total(int64_t count, int64_t dup) {
    int64_t total = count * dup;
    if (total > max_cells) errors::raise(err::internal::no_memory);
    return int32_t(total);
}

// ------------------------------------------------------------ searching

struct Match {
    int32_t at = -1;        // the matching position, -1 for none
    int32_t length = 0;     // cells of the matched sequence (0 for a single value)
    bool sequence = false;  // the value's elements were matched one by one
    bool backwards = false;
    int32_t step = 1;
};

// Finds the value in the series as `find` does, without building a result.
Match locate(const Cell* s, const Cell* v, const FindOptions& o) {
    Match m;
    int32_t length = buffer_length(s->w2);
    int32_t head = int32_t(s->w1);
    if (length == 0 || (!o.reverse && head >= length)) return m;
    if (o.skip) {
        if (cell::type(o.skip) != type_integer) bad_refinement("skip", o.skip);
        if (cell::get_integer(o.skip) < 1) errors::raise(err::script::out_of_range, o.skip);
        m.step = cell::get_integer(o.skip);
    }
    int32_t limit = -1;
    if (o.part) {
        if (cell::type(o.part) == type_integer) {
            int32_t n = cell::get_integer(o.part);
            if (n < 1) return m;
            limit = int32_t(std::min<int64_t>(int64_t(head) + n - 1, length - 1));
        } else if (is_series_kind(cell::type(o.part)) && o.part->w2 == s->w2) {
            limit = std::min(int32_t(o.part->w1), length - 1);
        } else {
            bad_refinement("part", o.part);
        }
    }
    uint8_t vt = cell::type(v);
    bool by_type = !o.only && vt == type_datatype;
    bool by_typeset = !o.only && vt == type_typeset;
    m.sequence = !o.only && is_any_block(vt);
    m.length = m.sequence ? std::max(length_from_head(v), 0) : 0;
    int32_t op = o.same ? op_same : o.case_sensitive ? op_strict_equal : op_find;

    int32_t from, low = 0, high = length - 1, direction = 1;
    m.backwards = o.last || o.reverse;
    if (!m.backwards) {
        from = head;
        if (limit >= 0) high = limit;
    } else {
        direction = -1;
        int32_t back = std::max(m.length, 1);
        if (o.last) {
            // /last looks no further back than the series' own head.
            from = limit >= 0 ? limit : length - back;
            low = std::min(head, length);
        } else {
            from = limit >= 0 ? limit : head - back;
        }
        from = std::min(from, length - 1);
        if (from < 0) return m;
    }

    gc::Local probe(Cell{}), element(Cell{});
    auto matches = [&](int32_t p) {
        if (by_type || by_typeset) {
            uint8_t t = cell::type(cell_at(s->w2, p));
            return by_type ? v->w1 == t : typeset::has_type(v, t);
        }
        if (!m.sequence) {
            probe = *cell_at(s->w2, p);
            return actions::compare(&probe, v, op);
        }
        for (int32_t j = 0; j < m.length; j++) {
            if (p + j >= buffer_length(s->w2) || int32_t(v->w1) + j >= buffer_length(v->w2)) return false;
            probe = *cell_at(s->w2, p + j);
            element = *cell_at(v->w2, int32_t(v->w1) + j);
            if (!actions::compare(&probe, &element, op)) return false;
        }
        return true;
    };
    for (int32_t p = from; p >= low && p <= high && p < buffer_length(s->w2); p += direction * m.step) {
        if (matches(p)) {
            m.at = p;
            return m;
        }
        if (o.match) break;
    }
    return m;
}

// ------------------------------------------------------------ sorting

struct Sorting {
    int32_t op;
    bool reverse;
    int32_t offset;      // of the compared cell within a record
    int32_t compared;    // cells compared from there
    int32_t width;       // cells per record
    const Cell* function;
    bool whole_records;  // the function receives the records as blocks
    Cell* scratch;       // two blocks for those records
};

int32_t default_order(const Cell* a, const Cell* b, const Sorting& s) {
    for (int32_t i = 0; i < s.compared; i++) {
        int32_t r = call_compare(a + i, b + i, s.op);
        if (r == not_comparable) r = int32_t(cell::type(a + i)) - int32_t(cell::type(b + i));
        if (r != 0) return r;
    }
    return 0;
}

bool answers_true(const Cell* c) {
    uint8_t t = cell::type(c);
    if (t == type_logic) return (c->w1 & 1) != 0;
    return t != type_none;
}

// A comparator answers as `lesser?` does: true when its first value goes
// first. A false answer is asked again the other way round so that equal
// values stay equal (and in order, for /stable).
int32_t function_order(const Cell* a, const Cell* b, const Sorting& s) {
    gc::Local x(*a), y(*b);
    if (s.whole_records) {
        for (int32_t k = 0; k < 2; k++) {
            uint32_t node = s.scratch[k].w2;
            // The sort's own scratch records, which no code runs.
            std::memcpy(series::cells_mut_untracked(node), k == 0 ? a : b, size_t(s.width) * 16);
            nodes::buffer(node)->tail = nodes::buffer(node)->head + uint32_t(s.width) * 16;
        }
        x = s.scratch[0];
        y = s.scratch[1];
    }
    gc::Local answer(none_value);
    call_comparator(s.function, &x, &y, &answer);
    switch (cell::type(&answer)) {
        case type_integer: return cell::get_integer(&answer);
        case type_float: {
            double d = cell::get_double(&answer);
            return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
        }
        default: break;
    }
    if (answers_true(&answer)) return -1;
    answer = none_value;
    call_comparator(s.function, &y, &x, &answer);
    return answers_true(&answer) ? 1 : 0;
}

// Comparisons since the last look for an interrupt. A long sort of plain
// values evaluates nothing, so nothing else would see one; a halt leaves
// the sort as an error does, with the series untouched.
uint32_t comparisons_unpolled = 0;

int32_t compare_records(const void* x, const void* y, intptr_t arg, intptr_t) {
    if ((++comparisons_unpolled & 4095) == 0) interrupt::poll();
    const Sorting& s = *reinterpret_cast<const Sorting*>(arg);
    const Cell* a = static_cast<const Cell*>(x);
    const Cell* b = static_cast<const Cell*>(y);
    if (s.reverse) std::swap(a, b);
    if (s.function) {
        if (!s.whole_records) return function_order(a + s.offset, b + s.offset, s);
        return function_order(a, b, s);
    }
    return default_order(a + s.offset, b + s.offset, s);
}

// ------------------------------------------------------------ set operations

// Whether the block holds the key at one of its record starts: blocks are
// compared element by element, everything else through the hash table.
bool holds(const Cell* block, uint32_t table, const Cell* key, int32_t step, int32_t op) {
    if (is_any_block(cell::type(key))) {
        gc::Local probe(none_value);
        int32_t hash_op = op == op_strict_equal ? op_strict_equal : op_find;
        for (int32_t p = int32_t(block->w1); p < buffer_length(block->w2); p += step) {
            probe = *cell_at(block->w2, p);
            if (actions::compare(&probe, key, hash_op)) return true;
        }
        return false;
    }
    return hashtable::find(table, key, int32_t(block->w1), step, op, false, false) != nullptr;
}

}  // namespace

// ------------------------------------------------------------ find, select, put

void find(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    Match m = locate(&s, &v, options);
    if (m.at < 0) {
        *result = none_value;
        return;
    }
    int32_t at = m.at;
    if (options.tail) at += m.sequence ? m.length : m.backwards ? 1 : m.step;
    at = std::min(at, buffer_length(s.w2));
    *result = s;
    result->w1 = uint32_t(at);
}

void select(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    FindOptions o = options;
    o.tail = o.match = false;
    Match m = locate(&s, &v, o);
    int32_t next = m.at + (m.sequence ? m.length : 1);
    if (m.at < 0 || next >= buffer_length(s.w2)) {
        *result = none_value;
        return;
    }
    *result = *cell_at(s.w2, next);
}

void put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result) {
    gc::Local s(*series);
    gc::Local k(*key);
    gc::Local v(*value);
    // The key was stored as one cell: a block key is looked for as one.
    FindOptions o;
    o.only = true;
    o.case_sensitive = case_sensitive;
    Match m = locate(&s, &k, o);
    if (m.at < 0) {
        ownership::check(&s, ownership::action_word(ownership::action_put), &v, buffer_length(s.w2), 2);
        block_actions::append_copy(&s, &k);
        block_actions::append_copy(&s, &v);
        *result = v;
        return;
    }
    int32_t at = m.at + 1;
    ownership::report_change(&s, ownership::action_put, &v, at, 1, [&] {
        if (at < buffer_length(s.w2)) {
            gc::Local old(*cell_at(s.w2, at));
            if (actions::compare(&old, &v, op_find)) return;
            if (cell::type(&s) == type_hash && s.w3) hashtable::remove_key(s.w3, cell_at(s.w2, at));
            *block_actions::cell_at_mut(s.w2, at) = v;
            if (cell::type(&s) == type_hash && s.w3) hashtable::put_key(s.w3, cell_at(s.w2, at));
        } else {
            block_actions::append_copy(&s, &v);
        }
    });
    *result = v;
}

// ------------------------------------------------------------ append, insert, change

// The /dup count: 1 without the refinement; below 1 nothing is inserted.
static int32_t dup_count(const Cell* dup) {
    if (!dup) return 1;
    if (cell::type(dup) != type_integer) bad_refinement("dup", dup);
    return cell::get_integer(dup);
}

bool insert_plain(const Cell* series, const Cell* value, bool append, Cell* result) {
    if (cell::type(series) != type_block || is_any_block(cell::type(value)) || ownership::series_may_have_owner(series))
        return false;
    Cell s = *series;
    Cell v = *value;
    if (append) {
        *series::alloc_tail_cell(s.w2) = v;
        s.w1 = 0;
    } else {
        int32_t at = std::min(int32_t(s.w1), buffer_length(s.w2));
        block_actions::open_gap(s.w2, at, 1, true);
        *block_actions::cell_at_mut(s.w2, at) = v;
        s.w1 = uint32_t(at + 1);
    }
    *result = s;
    return true;
}

void insert(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, bool append,
            Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int32_t copies = dup_count(dup);
    if (copies < 1) {
        *result = s;
        return;
    }
    if (!part && !dup && insert_plain(&s, &v, append, result)) return;
    bool spread = is_any_block(cell::type(&v)) && !only;
    if (spread) block_actions::clip_head(&v);
    int32_t e = spread ? length_from_head(&v) : 1;
    int32_t count = -1;
    if (part) {
        uint8_t vt = cell::type(&v);
        if (!is_series_kind(vt) && vt != type_map) errors::raise(err::script::invalid_part, part);
        int32_t n = block_actions::part_count(part, &v);
        if (n == 0 || (n < 0 && v.w1 == 0)) {
            *result = s;
            return;
        }
        if (n < 0) {
            if (spread) {
                int32_t from = std::max(int32_t(v.w1) + n, 0);
                e = int32_t(v.w1) - from;
                v.w1 = uint32_t(from);
            }
            n = e;
        }
        count = n;
    }
    if (e == 0) {
        *result = s;
        return;
    }
    if (count < 0 || count > e) count = e;
    block_actions::clip_head(&s);
    int32_t length = buffer_length(s.w2);
    int32_t at = append || int32_t(s.w1) >= length ? length : int32_t(s.w1);
    int32_t total = checked_total(count, copies);
    ownership::report_change(&s, append ? ownership::action_append : ownership::action_insert, &v,
                             append ? length : int32_t(s.w1), total, [&] {
        // Growing may move the source: a block inserted into itself is read first.
        std::vector<Cell> own;
        if (spread && v.w2 == s.w2) own.assign(cell_at(v.w2, int32_t(v.w1)), cell_at(v.w2, int32_t(v.w1)) + count);
        gc::Protect keep_own(own.data(), int32_t(own.size()));
        int32_t where = std::min(at, buffer_length(s.w2));
        block_actions::open_gap(s.w2, where, total, copies < 5);
        Cell* to = block_actions::cell_at_mut(s.w2, where);
        if (!spread)
            *to = v;
        else if (!own.empty())
            std::memcpy(to, own.data(), size_t(count) * 16);
        else
            std::memcpy(to, cell_at(v.w2, int32_t(v.w1)), size_t(count) * 16);
        for (int32_t k = 1; k < copies; k++) std::memcpy(to + int64_t(k) * count, to, size_t(count) * 16);
        block_actions::hash_inserted(&s, where, total);
        at = where;
    });
    *result = s;
    if (append)
        result->w1 = 0;
    else
        result->w1 = uint32_t(std::min(at + total, buffer_length(s.w2)));
}

void change(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int32_t copies = dup_count(dup);
    if (copies < 1) {
        *result = s;
        return;
    }
    block_actions::clip_head(&s);
    int32_t head = int32_t(s.w1);
    int32_t rest = buffer_length(s.w2) - head;
    bool spread = is_any_block(cell::type(&v)) && !only;
    if (spread) block_actions::clip_head(&v);
    int32_t e = spread ? length_from_head(&v) : 1;
    int32_t total = checked_total(e, copies);
    int32_t replaced;
    if (part)
        replaced = std::clamp(block_actions::part_count(part, &s), 0, rest);
    else
        replaced = std::min(total, rest);
    ownership::report_change(&s, ownership::action_change, &v, head, total, [&] {
        // The new cells are read first: they may lie in the changed buffer.
        std::vector<Cell> cells;
        if (spread)
            cells.assign(cell_at(v.w2, int32_t(v.w1)), cell_at(v.w2, int32_t(v.w1)) + e);
        else
            cells.push_back(v);
        gc::Protect keep_cells(cells.data(), int32_t(cells.size()));
        int32_t room = buffer_length(s.w2) - head;
        int32_t cut = std::min(replaced, std::max(room, 0));
        if (total > cut)
            block_actions::open_gap(s.w2, head + cut, total - cut, true);
        else
            block_actions::close_gap(s.w2, head + total, cut - total);
        Cell* to = block_actions::cell_at_mut(s.w2, head);
        // An empty value has no cells to copy (and memcpy takes no null).
        if (e > 0)
            for (int32_t k = 0; k < copies; k++) std::memcpy(to + int64_t(k) * e, cells.data(), size_t(e) * 16);
        block_actions::hash_rebuild(&s);
    });
    *result = s;
    result->w1 = uint32_t(std::min(head + total, buffer_length(s.w2)));
}

// ------------------------------------------------------------ sort

void sort(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
          bool reverse, bool stable, Cell* result) {
    gc::Local s(*series);
    *result = s;
    int32_t head = int32_t(s.w1);
    int32_t n = length_from_head(&s);
    if (n <= 0) return;
    if (part) {
        int32_t k = block_actions::part_count(part, &s);
        if (k < 0) {
            int32_t from = std::max(head + k, 0);
            n = head - from;
            head = from;
        } else {
            n = std::min(k, n);
        }
    }
    int32_t width = 1;
    if (skip) {
        if (cell::type(skip) != type_integer) bad_refinement("skip", skip);
        width = cell::get_integer(skip);
        if (width < 1 || n < width || n % width != 0) bad_refinement("skip", skip);
    } else if (all) {
        errors::raise(err::script::bad_refines);
    }
    Sorting how{case_sensitive ? op_case_sort : op_sort, reverse, 0, all ? width : 1, width, nullptr, false, nullptr};
    Cell scratch[2] = {none_value, none_value};
    gc::Protect keep_scratch(scratch, 2);
    gc::Local function(none_value);
    if (comparator) {
        switch (cell::type(comparator)) {
            case type_function:
                function = *comparator;
                how.function = &function;
                how.compared = 1;
                if (all && skip) {
                    how.whole_records = true;
                    block_actions::make_at(&scratch[0], width);
                    block_actions::make_at(&scratch[1], width);
                    how.scratch = scratch;
                }
                break;
            case type_integer: {
                if (!skip || all) errors::raise(err::script::bad_refines);
                int32_t k = cell::get_integer(comparator);
                if (k < 1 || k > width) errors::raise(err::script::out_of_range, comparator);
                how.offset = k - 1;
                how.compared = 1;
                break;
            }
            default: {
                Cell word = block_actions::refinement_word("compare");
                errors::raise(err::script::invalid_refine_arg, &word, comparator);
            }
        }
    }
    int32_t records = n / width;
    result->w1 = uint32_t(head);
    if (records < 2) return;
    ownership::report_change(&s, ownership::action_sort, nullptr, head, n, [&] {
        // Sorted in a copy the collector sees and that never moves, since a
        // comparison may allocate; it goes back only when the sort finished.
        std::vector<Cell> copy(cell_at(s.w2, head), cell_at(s.w2, head) + n);
        gc::Protect keep_copy(copy.data(), n);
        intptr_t arg = reinterpret_cast<intptr_t>(&how);
        if (stable)
            vum::sort::merge(copy.data(), records, width * 16, arg, 0, compare_records);
        else
            vum::sort::quick(copy.data(), records, width * 16, arg, 0, compare_records);
        int32_t room = std::min(n, buffer_length(s.w2) - head);
        if (room > 0) std::memcpy(block_actions::cell_at_mut(s.w2, head), copy.data(), size_t(room) * 16);
        block_actions::hash_rebuild(&s);
    });
}

// ------------------------------------------------------------ set operations

void set_operation(const Cell* first, const Cell* second, bool case_sensitive, const Cell* skip, SetOperation operation,
                   Cell* result) {
    gc::Local a(*first);
    gc::Local b(second && operation != set_unique ? *second : none_value);
    int32_t width = 1;
    if (skip) {
        if (cell::type(skip) != type_integer || cell::get_integer(skip) < 1) bad_refinement("skip", skip);
        width = cell::get_integer(skip);
    }
    bool two = operation != set_unique;
    block_actions::clip_head(&a);
    if (two) block_actions::clip_head(&b);
    int32_t la = length_from_head(&a);
    int32_t lb = two ? length_from_head(&b) : 0;
    int32_t capacity = std::max(la + (operation == set_union ? lb : 0), 1);
    gc::Local out(none_value);
    block_actions::make_at(&out, capacity);
    uint32_t seen = hashtable::create(capacity, &out, hashtable::kind_hash, 0);
    hashtable::ProtectTable keep_seen(seen);
    int32_t op = case_sensitive ? op_strict_equal : op_equal;

    // The other set's table: a hash! brings its own.
    auto table_of = [](const Cell* set) {
        if (cell::type(set) == type_hash && set->w3) return set->w3;
        return hashtable::create(std::max(length_from_head(set), 1), set, hashtable::kind_hash, 0);
    };
    uint32_t table_a = 0, table_b = 0;
    if (operation == set_intersect || operation == set_exclude || operation == set_difference) table_b = table_of(&b);
    hashtable::ProtectTable keep_table_b(table_b);
    if (operation == set_difference) table_a = table_of(&a);
    hashtable::ProtectTable keep_table_a(table_a);

    gc::Local key(none_value);
    // keep: 0 every record, 1 those found in the other set, -1 those not.
    auto pass = [&](const Cell* from, const Cell* other, uint32_t other_table, int32_t keep) {
        for (int32_t p = int32_t(from->w1); p < buffer_length(from->w2); p += width) {
            key = *cell_at(from->w2, p);
            if (keep != 0 && holds(other, other_table, &key, width, op) != (keep > 0)) continue;
            if (holds(&out, seen, &key, width, op)) continue;
            int32_t n = std::min(width, buffer_length(from->w2) - p);
            int32_t at = buffer_length(out.w2);
            block_actions::open_gap(out.w2, at, n, true);
            std::memcpy(series::cells_mut_untracked(out.w2) + at, cell_at(from->w2, p), size_t(n) * 16);  // the fresh result
            hashtable::put_key(seen, cell_at(out.w2, at));
        }
    };
    switch (operation) {
        case set_unique: pass(&a, nullptr, 0, 0); break;
        case set_union: pass(&a, nullptr, 0, 0); pass(&b, nullptr, 0, 0); break;
        case set_intersect: pass(&a, &b, table_b, 1); break;
        case set_exclude: pass(&a, &b, table_b, -1); break;
        case set_difference: pass(&a, &b, table_b, -1); pass(&b, &a, table_a, -1); break;
    }
    bool hashed = cell::type(&a) == type_hash || (two && cell::type(&b) == type_hash);
    out.header = hashed ? uint32_t(type_hash) : uint32_t(cell::type(&a));
    out.w3 = hashed ? seen : 0;
    // Only the records' first cells went into the table: a hash! indexes all.
    if (hashed && width > 1) hashtable::rebuild(seen, buffer_length(out.w2));
    *result = out;
}

void set_operation_frame(bool case_sensitive, const Cell* skip, SetOperation operation) {
    set_operation(stack::arg(0), operation == set_unique ? nullptr : stack::arg(1), case_sensitive, skip, operation,
                  stack::arg(0));
}

}  // namespace vum::block_search
