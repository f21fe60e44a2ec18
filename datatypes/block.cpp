#include "datatypes/block.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/actions.h"
#include "datatypes/block-search.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/series-ranges.h"
#include "datatypes/string.h"
#include "datatypes/vector.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/cycle-guard.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/runtime-helpers.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::block_actions {


int32_t mold_depth = 0;

namespace {

using namespace actions;

const Cell none_value = {type_none, 0, 0, 0};

struct DepthRaise {
    DepthRaise() { mold_depth++; }
    ~DepthRaise() { mold_depth--; }
    DepthRaise(const DepthRaise&) = delete;
    DepthRaise& operator=(const DepthRaise&) = delete;
};

using string::put_text;

bool is_text_kind(uint8_t t) {
    switch (t) {
        case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
        case type_binary: case type_vector:
            return true;
        default:
            return false;
    }
}

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_issue; }
bool is_number(uint8_t t) { return t == type_integer || t == type_float || t == type_percent; }

bool equality_op(int32_t op) {
    return op == op_equal || op == op_not_equal || op == op_strict_equal || op == op_equal_path_10 ||
           op == op_equal_path_11 || op == op_find;
}

bool has_table(const Cell* c) { return cell::type(c) == type_hash && cell::hash_table(c) != 0; }

// The value's own copy action when its type has one; otherwise the text
// kinds get a plain copy of their elements from the head, so that a deep
// copy never shares them.
void copy_one(const Cell* value, Cell* out, bool deep, const Cell* types) {
    uint8_t t = cell::type(value);
    if (datatype::handler(t, slot_copy)) {
        call_copy(value, out, nullptr, deep, types);
    } else if (is_text_kind(t)) {
        Cell v = *value;
        int32_t n = buffer_length(cell::series_node(&v));
        uint32_t node = series::copy_part(cell::series_node(&v), cell::series_index(&v), n - cell::series_index(&v));
        *out = {v.header, 0, node, v.w3};
    } else {
        *out = *value;
    }
    out->header = (out->header & ~uint32_t(cell::flag_new_line)) | (value->header & cell::flag_new_line);
}

bool copyable_kind(uint8_t t) {
    return is_series_kind(t) || t == type_bitset || t == type_object || t == type_error || t == type_map;
}

bool kind_matches(const Cell* kind, uint8_t t) {
    if (cell::type(kind) == type_datatype) return cell::datatype_id(kind) == t;
    if (cell::type(kind) == type_typeset) return typeset::has_type(kind, t);
    return false;
}

}  // namespace

Cell refinement_word(const char* name) {
    return {type_refinement, 0, uint32_t(symbols::make(name)), uint32_t(-1)};
}

bool is_any_block(uint8_t t) {
    return t == type_block || t == type_paren || (t >= type_path && t <= type_get_path) || t == type_hash;
}

bool is_series_kind(uint8_t t) { return is_any_block(t) || is_text_kind(t) || t == type_image; }

// The index a part or position argument stands for, relative to `from`:
// an integer! as a count, a position in the same buffer by its index.
int32_t part_count(const Cell* part, const Cell* series) {
    if (cell::type(part) == type_integer) return cell::get_integer(part);
    if (is_series_kind(cell::type(part)) && cell::series_node(part) == cell::series_node(series))
        return cell::series_index(part) - cell::series_index(series);
    Cell word = refinement_word("part");
    errors::raise(err::script::invalid_refine_arg, &word, part);
}


// ------------------------------------------------------------ cell operations

int32_t length_from_head(const Cell* b) { return series::length_from_head(b); }

const Cell* clip_head(Cell* b) {
    int32_t n = buffer_length(cell::series_node(b));
    if (cell::series_index(b) > n) cell::set_series_index(b, n);
    return cell_at(cell::series_node(b), cell::series_index(b));
}

bool is_tail(const Cell* b) { return cell::series_index(b) >= buffer_length(cell::series_node(b)); }

bool next_is_tail(Cell* b) {
    int32_t n = buffer_length(cell::series_node(b));
    if (cell::series_index(b) < n) cell::set_series_index(b, cell::series_index(b) + 1);
    return cell::series_index(b) >= n;
}

void clear_from_head(const Cell* b) { set_tail_at(b, cell::series_index(b)); }

void set_tail_at(const Cell* b, int32_t n) {
    SeriesBuffer* buf = nodes::buffer(cell::series_node(b));
    if (n < 0) n = 0;
    if (uint32_t(n) < buf->count()) series::set_tail(buf, buf->head + uint32_t(n) * 16);
}

void open_gap(uint32_t node, int32_t at, int32_t n, bool generous) {
    if (n <= 0) return;
    SeriesBuffer* b = nodes::buffer(node);
    series::note_change(b);
    int32_t length = int32_t(b->count());
    if (at < 0) at = 0;
    if (at > length) at = length;
    int64_t need = (int64_t(length) + n) * 16;
    if (need > cell::max_series_bytes) errors::raise(err::internal::no_memory);
    if (int64_t(b->head) + need > int64_t(b->size)) {
        int64_t want = generous ? 2 * need : need;
        if (want > cell::max_series_bytes) want = need;
        b = memory::expand_copy(node, int32_t(want));
    }
    Cell* c = reinterpret_cast<Cell*>(b->head_ptr());
    std::memmove(c + at + n, c + at, size_t(length - at) * 16);
    for (int32_t i = 0; i < n; i++) cell::make_unset(c + at + i);
    b->tail += uint32_t(n) * 16;
}

void close_gap(uint32_t node, int32_t at, int32_t n) {
    SeriesBuffer* b = nodes::buffer(node);
    int32_t length = int32_t(b->count());
    if (at < 0 || at >= length || n <= 0) return;
    if (n > length - at) n = length - at;
    series::note_change(b);
    Cell* c = reinterpret_cast<Cell*>(b->head_ptr());
    std::memmove(c + at, c + at + n, size_t(length - at - n) * 16);
    b->tail -= uint32_t(n) * 16;
}

void hash_inserted(const Cell* series, int32_t at, int32_t n) {
    if (!has_table(series) || n <= 0) return;
    uint32_t table = cell::hash_table(series);
    int32_t length = buffer_length(cell::series_node(series));
    int32_t later = length - at - n;
    if (hashtable::shift_indexes(table, n, at, later, true) == 1) {
        hashtable::rebuild(table, length);
        return;
    }
    for (int32_t i = at; i < at + n; i++) {
        int32_t status = 0;
        hashtable::put_key_status(table, cell_at(cell::series_node(series), i), &status);
        if (status == 2) return;
    }
}

void hash_rebuild(const Cell* series) {
    if (has_table(series)) hashtable::rebuild(cell::hash_table(series), buffer_length(cell::series_node(series)));
}

void append_copy(const Cell* block, const Cell* value) {
    gc::Local v(*value);
    gc::Local b(*block);
    *series::alloc_tail_cell(cell::series_node(&b)) = v;
    if (has_table(&b))
        hashtable::put_key(cell::hash_table(&b),
                           cell_at(cell::series_node(&b), buffer_length(cell::series_node(&b)) - 1));
}

void remove_last(Cell* block) {
    SeriesBuffer* buf = nodes::buffer(cell::series_node(block));
    if (buf->tail <= buf->head) return;
    if (has_table(block))
        hashtable::remove_key(cell::hash_table(block), cell_at(cell::series_node(block), int32_t(buf->count()) - 1));
    series::set_tail(buf, buf->tail - 16);
    clip_head(block);
}

void append_all(const Cell* target, const Cell* source) {
    gc::Local t(*target);
    gc::Local s(*source);
    int32_t n = length_from_head(&s);
    if (n <= 0) return;
    int32_t at = buffer_length(cell::series_node(&t));
    if (cell::series_node(&t) == cell::series_node(&s)) {
        // Appending a block to itself: read the source before it grows.
        std::vector<Cell> copy(cell_at(cell::series_node(&s), cell::series_index(&s)),
                               cell_at(cell::series_node(&s), cell::series_index(&s)) + n);
        gc::Protect keep_copy(copy.data(), n);
        open_gap(cell::series_node(&t), at, n, true);
        std::memcpy(cell_at_mut(cell::series_node(&t), at), copy.data(), size_t(n) * 16);
    } else {
        open_gap(cell::series_node(&t), at, n, true);
        std::memcpy(cell_at_mut(cell::series_node(&t), at), cell_at(cell::series_node(&s), cell::series_index(&s)),
                    size_t(n) * 16);
    }
    hash_inserted(&t, at, n);
}

const Cell* select_value(const Cell* block, const Cell* value) {
    gc::Local probe(none_value);
    int32_t head = cell::series_index(block);
    for (int32_t i = head; i < buffer_length(cell::series_node(block)); i++) {
        probe = *cell_at(cell::series_node(block), i);
        if (actions::compare(&probe, value, op_find)) {
            if (i + 1 >= buffer_length(cell::series_node(block))) return &none_value;
            return cell_at(cell::series_node(block), i + 1);
        }
    }
    return &none_value;
}

bool remove_value(const Cell* block, const Cell* value, bool from_start) {
    gc::Local probe(none_value);
    int32_t start = from_start ? 0 : cell::series_index(block);
    for (int32_t i = start; i < buffer_length(cell::series_node(block)); i++) {
        probe = *cell_at(cell::series_node(block), i);
        if (!actions::compare(&probe, value, op_find)) continue;
        if (has_table(block)) {
            hashtable::remove_key(cell::hash_table(block), cell_at(cell::series_node(block), i));
            close_gap(cell::series_node(block), i, 1);
            if (hashtable::shift_indexes(cell::hash_table(block), -1, i + 1,
                                         buffer_length(cell::series_node(block)) - i, true) == 1)
                hash_rebuild(block);
        } else {
            close_gap(cell::series_node(block), i, 1);
        }
        return i <= cell::series_index(block);
    }
    return false;
}

const Cell* select_word(const Cell* block, const Cell* word, bool strict) {
    int32_t want = cell::word_symbol(word);
    if (!strict) want = symbols::resolve(want);
    for (int32_t i = cell::series_index(block); i < buffer_length(cell::series_node(block)); i++) {
        const Cell* c = cell_at(cell::series_node(block), i);
        uint8_t t = cell::type(c);
        if (t < type_word || t > type_get_word) continue;
        int32_t s = cell::word_symbol(c);
        if (!strict) s = symbols::resolve(s);
        if (s != want) continue;
        if (i + 1 >= buffer_length(cell::series_node(block))) return &none_value;
        return cell_at(cell::series_node(block), i + 1);
    }
    return &none_value;
}

void clone(const Cell* source, bool deep, bool paths_too, Cell* result) {
    gc::Local s(*source);
    int32_t head = cell::series_index(&s);
    int32_t n = std::max(length_from_head(&s), 0);
    uint32_t node = series::copy_part(cell::series_node(&s), head, n);
    *result = {uint8_t(cell::type(&s)), 0, node, 0};
    if (!deep) return;
    cycles::Visit visit(cell::series_node(&s));
    gc::Local nested(none_value);
    for (int32_t i = 0; i < buffer_length(node); i++) {
        nested = *cell_at(node, i);
        uint8_t t = cell::type(&nested);
        bool wanted = t == type_block || (paths_too && (t == type_paren || (t >= type_path && t <= type_get_path)));
        if (!wanted || cycles::find(cell::series_node(&nested))) continue;
        uint32_t header = nested.header;
        clone(&nested, true, paths_too, &nested);
        nested.header = header;
        series::cells_mut_untracked(node)[i] = nested;  // the fresh copy
    }
}

void copy_nested_values(const Cell* block, int32_t from, int32_t to, int32_t step, bool deep, const Cell* types) {
    gc::Local b(*block);
    gc::Local kind(*types);
    gc::Local c(none_value);
    if (step < 1) step = 1;
    for (int32_t i = std::max(from, 0); i < std::min(to, buffer_length(cell::series_node(&b))); i += step) {
        c = *cell_at(cell::series_node(&b), i);
        uint8_t t = cell::type(&c);
        if (!kind_matches(&kind, t) || !copyable_kind(t)) continue;
        copy_one(&c, &c, deep, deep ? &kind : nullptr);
        if (i < buffer_length(cell::series_node(&b))) *cell_at_mut(cell::series_node(&b), i) = c;
    }
}

void insert_value(Cell* block, const Cell* value, bool advance, bool at_start) {
    gc::Local v(*value);
    int32_t at = at_start ? 0 : int32_t(clip_head(block) - cell_at(cell::series_node(block), 0));
    open_gap(cell::series_node(block), at, 1, true);
    *cell_at_mut(cell::series_node(block), at) = v;
    hash_inserted(block, at, 1);
    if (advance) cell::set_series_index(block, at + 1);
}

void insert_all(Cell* target, const Cell* source) {
    gc::Local s(*source);
    gc::Local c(none_value);
    int32_t n = std::max(length_from_head(&s), 0);
    int32_t origin = int32_t(clip_head(target) - cell_at(cell::series_node(target), 0));
    for (int32_t i = 0; i < n; i++) {
        // Inserting into the source's own buffer shifts the cells from the
        // insertion point on by one each time: follow them.
        int32_t at = cell::series_index(&s) + i;
        if (cell::series_node(&s) == cell::series_node(target) && at >= origin) at += i;
        c = *cell_at(cell::series_node(&s), at);
        insert_value(target, &c, true, false);
    }
}

void append_stack_arg() { append_copy(stack::arg(0), stack::arg(1)); }

void append_below_frame() { append_copy(stack::s.args - 1, stack::arg(0)); }

void insert_below_frame() { insert_value(stack::s.args - 1, stack::arg(0), true, false); }

void init_at(Cell* c, int32_t n, bool external) {
    if (n < 1) n = 1;
    uint32_t node = external ? memory::alloc_external_series(n, 16, 0) : memory::alloc_cells_unset(n);
    cell::make_series(c, type_block, node);
}

void make_at(Cell* c, int32_t n) { init_at(c, n, false); }

Cell make_in(const Cell* block, int32_t n) {
    gc::Local b(*block);
    gc::Local fresh(none_value);
    make_at(&fresh, n);
    *series::alloc_tail_cell(cell::series_node(&b)) = fresh;
    return fresh;
}

Cell* push_new(int32_t n) {
    Cell* c = stack::push_cell();
    cell::make_none(c);
    make_at(c, n == 0 ? 1 : n);
    return c;
}

// ------------------------------------------------------------ text forms

bool emit_ellipsis(const Cell* value, uint32_t buffer, int32_t* limit, bool mold) {
    uint8_t t = cell::type(value);
    uint32_t node = t == type_object ? value->w1 : value->w2;
    if (!cycles::find(node)) return false;
    const char* marker = "...";
    if (mold) {
        switch (t) {
            case type_block: case type_hash: marker = "[...]"; break;
            case type_paren: marker = "(...)"; break;
            case type_map: marker = "#[...]"; break;
            case type_object: marker = "make object! [...]"; break;
            default: break;
        }
    }
    put_text(buffer, marker, limit);
    return true;
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (emit_ellipsis(value, buffer, &limit, false)) return limit;
    gc::Local b(*value);
    gc::Local c(none_value);
    cycles::Visit visit(cell::series_node(&b));
    for (int32_t i = cell::series_index(&b); i < buffer_length(cell::series_node(&b)); i++) {
        if (arg && limit <= 0) break;
        c = *cell_at(cell::series_node(&b), i);
        limit = call_form(&c, buffer, arg != nullptr, limit);
        if (i + 1 >= buffer_length(cell::series_node(&b))) break;
        int32_t written = string::length(buffer);
        uint32_t last = written > 0 ? string::char_at(buffer, written - 1) : 0;
        if (written == 0 || (last != '\t' && last != '\n' && last != '\r')) {
            string::append_char(buffer, ' ');
            limit--;
        }
    }
    return limit;
}

int32_t mold_each(const Cell* block, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                  int32_t limit, int32_t indent) {
    gc::Local b(*block);
    gc::Local c(none_value);
    cycles::Visit visit(cell::series_node(&b));
    bool closing = false;
    int32_t head = cell::series_index(&b);
    for (int32_t i = head; i < buffer_length(cell::series_node(&b)); i++) {
        if (arg && limit <= 0) break;
        DepthRaise depth;
        c = *cell_at(cell::series_node(&b), i);
        bool first = i == head;
        if (!flat && cell::has_new_line(&c)) {
            if (!only && first) {
                indent++;
                closing = true;
            }
            if (!(only && first)) {
                string::append_char(buffer, '\n');
                limit--;
            }
            for (int32_t k = 0; k < indent; k++) put_text(buffer, "    ", &limit);
        } else if (!first) {
            string::append_char(buffer, ' ');
            limit--;
        }
        limit = call_mold(&c, buffer, false, all, flat, arg != nullptr, limit, indent);
    }
    if (closing) {
        indent--;
        string::append_char(buffer, '\n');
        limit--;
        for (int32_t k = 0; k < indent; k++) put_text(buffer, "    ", &limit);
    }
    return limit;
}

int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent) {
    if (emit_ellipsis(value, buffer, &limit, true)) return limit;
    bool paren = cell::type(value) == type_paren;
    if (!only) put_text(buffer, paren ? "(" : "[", &limit);
    limit = mold_each(value, buffer, only, all, flat, arg, limit, indent);
    if (!only) put_text(buffer, paren ? ")" : "]", &limit);
    return limit;
}

// ------------------------------------------------------------ compare

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t ta = cell::type(a), tb = cell::type(b);
    if (ta != tb) {
        bool path_kinds = (ta == type_path || ta == type_lit_path) && (tb == type_path || tb == type_lit_path);
        if (!(path_kinds && (op == op_equal_path_10 || op == op_equal_path_11))) return not_comparable;
    }
    if (op == op_same)
        return cell::series_node(a) == cell::series_node(b) && cell::series_index(a) == cell::series_index(b) ? 0 : -1;
    if (cell::series_node(a) == cell::series_node(b) && cell::series_index(a) == cell::series_index(b)) return 0;
    if (cycles::find(cell::series_node(a))) return cycles::find(cell::series_node(b)) ? 0 : -1;
    int32_t l1 = std::max(length_from_head(a), 0);
    int32_t l2 = std::max(length_from_head(b), 0);
    if (l1 != l2 && equality_op(op)) return 1;
    if (l1 == 0 || l2 == 0) return l1 == l2 ? 0 : l1 == 0 ? -1 : 1;

    gc::Local x(*a), y(*b);
    gc::Local cx(Cell{}), cy(Cell{});
    cycles::Visit visit_a(cell::series_node(&x));
    cycles::Visit visit_b(cell::series_node(&y));
    int32_t n = std::min(l1, l2);
    for (int32_t i = 0; i < n; i++) {
        // A comparison may run code that shortens either block.
        if (cell::series_index(&x) + i >= buffer_length(cell::series_node(&x)) ||
            cell::series_index(&y) + i >= buffer_length(cell::series_node(&y)))
            break;
        cx = *cell_at(cell::series_node(&x), cell::series_index(&x) + i);
        cy = *cell_at(cell::series_node(&y), cell::series_index(&y) + i);
        uint8_t t1 = cell::type(&cx), t2 = cell::type(&cy);
        bool comparable = t1 == t2 || (is_word_kind(t1) && is_word_kind(t2)) || (is_number(t1) && is_number(t2));
        if (!comparable) return t1 < t2 ? -1 : 1;
        int32_t r = call_compare(&cx, &cy, op);
        if (r != 0) return r;
    }
    return l1 < l2 ? -1 : l1 > l2 ? 1 : 0;
}

// ------------------------------------------------------------ make, to

namespace {

// The body of an object or a map (its reflected body), retyped; false for
// any other value.
bool body_of(const Cell* value, int32_t type, Cell* result) {
    uint8_t t = cell::type(value);
    if (t != type_object && t != type_map) return false;
    namespace rs = runtime_symbols;
    gc::Local v(*value);
    gc::Local body(none_value);
    if (t == type_object)
        object_type::reflect(&v, rs::id(rs::sym_body), &body);
    else
        map_type::reflect(&v, rs::id(rs::sym_body), &body);
    *result = body;
    cell::set_type(result, uint8_t(type));
    return true;
}

}  // namespace

void make(const Cell*, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    if (is_any_block(t)) {
        clone(spec, false, false, result);
        cell::set_type(result, uint8_t(type));
        return;
    }
    if (t == type_integer || t == type_float) {
        // A size the allocator cannot give is its no-memory error.
        int32_t n = std::max(integer::from_number(spec), 1);
        Cell fresh = none_value;
        make_at(&fresh, n);
        *result = fresh;
        cell::set_type(result, uint8_t(type));
        return;
    }
    if (t == type_vector) {
        vector_type::to_block(spec, result);
        cell::set_type(result, uint8_t(type));
        return;
    }
    if (body_of(spec, type, result)) return;
    Cell datatype_value = cell::make_datatype(uint8_t(type));
    errors::raise(err::script::bad_make_arg, &datatype_value, spec);
}

void to(const Cell*, const Cell* value, int32_t type, Cell* result) {
    uint8_t t = cell::type(value);
    if (is_any_block(t)) {
        clone(value, false, false, result);
        cell::set_type(result, uint8_t(type));
        return;
    }
    if (t == type_typeset) {
        gc::Local set(*value);
        gc::Local fresh(none_value);
        make_at(&fresh, 8);
        for (int32_t id = 1; id < max_type_slots; id++) {
            if (!typeset::has_type(&set, uint8_t(id))) continue;
            Cell d = cell::make_datatype(uint8_t(id));
            append_copy(&fresh, &d);
        }
        *result = fresh;
        cell::set_type(result, uint8_t(type));
        return;
    }
    if (t == type_vector) {
        vector_type::to_block(value, result);
        cell::set_type(result, uint8_t(type));
        return;
    }
    if (body_of(value, type, result)) return;
    if (t == type_string) {
        gc::Local text(*value);
        gc::Local loaded(none_value);
        services::current.load_text(&text, &loaded);
        *result = loaded;
        cell::set_type(result, uint8_t(type));
        return;
    }
    gc::Local v(*value);
    gc::Local fresh(none_value);
    make_at(&fresh, 1);
    cell::clear_new_line(&v);
    append_copy(&fresh, &v);
    *result = fresh;
    cell::set_type(result, uint8_t(type));
}

// ------------------------------------------------------------ copy, take

void copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    gc::Local s(*series);
    auto count_of = [](const Cell* from, const Cell* value) -> int64_t { return part_count(value, from); };
    series_ranges::Span span =
        series_ranges::copy_span(&s, buffer_length(cell::series_node(&s)), part, count_of);
    int32_t k = int32_t(span.count);
    uint32_t node = series::copy_part(cell::series_node(&s), int32_t(span.start), k);
    *result = {s.header, 0, node, 0};
    if (!deep && !types) {
        if (has_table(&s)) cell::set_hash_table(result, hashtable::create(int32_t(k), result, hashtable::kind_hash, 0));
        return;
    }
    // A deep copy of a hash! is a block!: hash! re-hashes its own.
    if (cell::type(&s) == type_hash) cell::set_type(result, type_block);
    gc::Local out(*result);
    if (deep && cycles::find(cell::series_node(&s))) {
        cycles::reset();
        errors::raise(err::internal::no_cycle);
    }
    cycles::VisitIf visit(cell::series_node(&s), deep);
    if (types) {
        copy_nested_values(&out, 0, buffer_length(cell::series_node(&out)), 1, deep, types);
        return;
    }
    gc::Local c(none_value);
    for (int32_t j = 0; j < buffer_length(cell::series_node(&out)); j++) {
        c = *cell_at(cell::series_node(&out), j);
        if (!is_series_kind(cell::type(&c))) continue;
        copy_one(&c, &c, true, nullptr);
        series::cells_mut_untracked(cell::series_node(&out))[j] = c;  // the fresh copy
    }
}

void take(Cell* series, const Cell* part, bool deep, bool last, Cell* result) {
    clip_head(series);
    gc::Local s(*series);
    int32_t i = cell::series_index(&s);
    int32_t c = length_from_head(&s);
    if (c < 1) {
        *result = none_value;
        return;
    }
    int32_t k = 1;
    if (part) {
        if (cell::type(part) == type_integer) {
            k = cell::get_integer(part);
        } else if (is_series_kind(cell::type(part)) && cell::series_node(part) == cell::series_node(&s)) {
            int32_t p = cell::series_index(part);
            k = p < i ? 0 : last ? (i + c) - p : p - i;
        } else {
            Cell word = refinement_word("part");
            errors::raise(err::script::invalid_refine_arg, &word, part);
        }
    }
    int32_t from;
    int32_t n;
    if (k > 0) {
        n = std::min(k, c);
        from = last ? i + c - n : i;
    } else {
        // A count of 0 or below takes from before the head.
        n = k == 0 ? 1 : int32_t(std::min(-int64_t(k), int64_t(i)));  // -k overflows at -2^31
        from = i - n;
        if (last || i == 0) {
            Cell empty = none_value;
            make_at(&empty, 1);
            *result = empty;
            cell::set_type(result, cell::type(&s));
            return;
        }
    }
    gc::Local taken(none_value);
    ownership::report_change(&s, ownership::action_take, nullptr, from, n, [&] {
        uint32_t node = series::copy_part(cell::series_node(&s), from, n);
        taken = {uint8_t(cell::type(&s)), 0, node, 0};
        if (has_table(&s)) hashtable::remove_key_range(cell::hash_table(&s), from, n);
        int32_t later = buffer_length(cell::series_node(&s)) - from - n;
        close_gap(cell::series_node(&s), from, n);
        if (has_table(&s) && hashtable::shift_indexes(cell::hash_table(&s), -n, from + n, later, true) == 1)
            hash_rebuild(&s);
        if (k <= 0) cell::set_series_index(&s, from);
        if (deep) {
            gc::Local e(none_value);
            for (int32_t j = 0; j < n; j++) {
                e = *cell_at(cell::series_node(&taken), j);
                if (!is_series_kind(cell::type(&e))) continue;
                copy_one(&e, &e, true, nullptr);
                series::cells_mut_untracked(cell::series_node(&taken))[j] = e;  // the fresh copy
            }
        }
        if (cell::type(&taken) == type_hash && part)
            cell::set_hash_table(&taken, hashtable::create(n, &taken, hashtable::kind_hash, 0));
    });
    cell::set_series_index(series, cell::series_index(&s));
    if (!part && buffer_length(cell::series_node(&taken)) == 1)
        *result = *cell_at(cell::series_node(&taken), 0);
    else
        *result = taken;
}

// ------------------------------------------------------------ swap, trim

void swap(Cell* a, Cell* b, Cell* result) {
    if (!is_any_block(cell::type(b))) errors::raise(err::script::invalid_arg, b);
    gc::Local x(*a);
    gc::Local y(*b);
    if (!is_tail(&x) && !is_tail(&y)) {
        bool owned_x =
            ownership::check(&x, ownership::action_word(ownership::action_swap), &y, cell::series_index(&x), 1);
        bool owned_y =
            ownership::check(&y, ownership::action_word(ownership::action_swap), &x, cell::series_index(&y), 1);
        if (is_tail(&x) || is_tail(&y)) {
            *result = x;
            return;
        }
        Cell* p = cell_at_mut(cell::series_node(&x), cell::series_index(&x));
        Cell* q = cell_at_mut(cell::series_node(&y), cell::series_index(&y));
        if (has_table(&x)) hashtable::remove_key(cell::hash_table(&x), p);
        if (has_table(&y)) hashtable::remove_key(cell::hash_table(&y), q);
        std::swap(*p, *q);
        if (has_table(&x))
            hashtable::put_key(cell::hash_table(&x), cell_at(cell::series_node(&x), cell::series_index(&x)));
        if (has_table(&y))
            hashtable::put_key(cell::hash_table(&y), cell_at(cell::series_node(&y), cell::series_index(&y)));
        if (owned_x) ownership::check(&x, ownership::past_word(ownership::action_swap), &y, cell::series_index(&x), 1);
        if (owned_y) ownership::check(&y, ownership::past_word(ownership::action_swap), &x, cell::series_index(&y), 1);
    }
    *result = x;
}

void trim(Cell* series, bool, bool, bool, bool, bool, const Cell*, Cell* result) {
    gc::Local s(*series);
    ownership::report_change(&s, ownership::action_trim, nullptr, cell::series_index(&s), 0, [&] {
        int32_t length = buffer_length(cell::series_node(&s));
        Cell* c = cell_at_mut(cell::series_node(&s), 0);
        int32_t to = cell::series_index(&s);
        for (int32_t from = cell::series_index(&s); from < length; from++)
            if (cell::type(c + from) != type_none) c[to++] = c[from];
        set_tail_at(&s, to);
        hash_rebuild(&s);
    });
    *result = s;
}

// ------------------------------------------------------------ paths

void pick(const Cell* series, const Cell* index, int32_t, Cell* result) {
    int32_t n = cell::type(index) == type_integer ? cell::get_integer(index) : 0;
    int64_t p = n > 0 ? int64_t(cell::series_index(series)) + n - 1 : int64_t(cell::series_index(series)) + n;
    if (n == 0 || p < 0 || p >= buffer_length(cell::series_node(series))) {
        *result = none_value;
        return;
    }
    *result = *cell_at(cell::series_node(series), int32_t(p));
}

void poke(Cell* series, const Cell* index, const Cell* value, int32_t, Cell* result) {
    int32_t n = cell::type(index) == type_integer ? cell::get_integer(index) : 0;
    int64_t p = n > 0 ? int64_t(cell::series_index(series)) + n - 1 : int64_t(cell::series_index(series)) + n;
    if (n == 0 || p < 0 || p >= buffer_length(cell::series_node(series))) {
        Cell at{};
        cell::make_integer(&at, n);
        errors::raise(err::script::out_of_range, &at);
    }
    gc::Local s(*series);
    gc::Local v(*value);
    ownership::report_change(&s, ownership::action_poke, &v, int32_t(p), 1, [&] {
        if (p >= buffer_length(cell::series_node(&s))) return;
        Cell* c = cell_at_mut(cell::series_node(&s), int32_t(p));
        if (has_table(&s)) hashtable::remove_key(cell::hash_table(&s), c);
        *c = v;
        if (has_table(&s)) hashtable::put_key(cell::hash_table(&s), cell_at(cell::series_node(&s), int32_t(p)));
    });
    *result = v;
}

void eval_path(const PathStep& step, Cell* result) {
    gc::Local parent(*step.parent);
    gc::Local element(*step.element);
    if (cell::type(&element) == type_integer) {
        if (step.value)
            poke(&parent, &element, step.value, 0, result);
        else
            pick(&parent, &element, 0, result);
        return;
    }
    if (!step.value) {
        if (cell::type(&element) == type_word && cell::type(&parent) != type_hash) {
            *result = *select_word(&parent, &element, step.case_sensitive);
            return;
        }
        FindOptions options;
        options.only = true;
        options.case_sensitive = step.case_sensitive;
        block_search::select(&parent, &element, options, result);
        return;
    }
    FindOptions options;
    options.case_sensitive = step.case_sensitive;
    gc::Local found(none_value);
    block_search::find(&parent, &element, options, &found);
    if (cell::type(&found) == type_none) {
        Cell path = step.path ? *step.path : none_value;
        errors::raise(err::script::bad_path_set, &path, &element);
    }
    Cell two{};
    cell::make_integer(&two, 2);
    poke(&found, &two, step.value, 0, result);
}

// ------------------------------------------------------------ registration

void init() {
    Row r(type_block, "block!", type_series);
    // copy and take are block!'s own.
    r.inherit(series_slots);
    r.set<slot_make>(make)
        .set<slot_to>(to)
        .set<slot_form>(form)
        .set<slot_mold>(mold)
        .set<slot_eval_path>(eval_path)
        .set<slot_compare>(compare)
        .set<slot_copy>(copy)
        .set<slot_take>(take)
        .set<slot_swap>(swap)
        .set<slot_trim>(trim)
        .set<slot_append>(block_search::insert)
        .set<slot_insert>(block_search::insert)
        .set<slot_change>(block_search::change)
        .set<slot_find>(block_search::find)
        .set<slot_select>(block_search::select)
        .set<slot_put>(block_search::put)
        .set<slot_sort>(block_search::sort);
    datatype::register_type(r);
}

}  // namespace vum::block_actions
