#include "datatypes/string-type.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/integer.h"
#include "datatypes/registry.h"
#include "datatypes/series-ranges.h"
#include "datatypes/series.h"
#include "datatypes/string-text.h"
#include "datatypes/string.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/refinement-args.h"
#include "memory/series.h"
#include "memory/sort.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::string {

namespace {

using namespace actions;
using ownership::Action;
using refinement_args::bad_refinement;
using refinement_args::integer_refinement;
using refinement_args::part_of;

const Cell none = {type_none, 0, 0, 0};

[[noreturn]] void not_done() { errors::raise(err::internal::not_done); }

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }
bool is_any_block(uint8_t t) { return t == type_block || t == type_paren || t == type_hash; }

// The change reports: the second only when the first found an owner.
bool report(const Cell* series, Action action, const Cell* value, int64_t index, int64_t count) {
    return ownership::check(series, ownership::action_word(action), value, int32_t(index), int32_t(count));
}
void reported(const Cell* series, Action action, bool owned, int64_t index, int64_t count) {
    if (owned) ownership::check(series, ownership::past_word(action), nullptr, int32_t(index), int32_t(count));
}

Cell char_cell(uint32_t cp) { return {type_char, 0, cp, 0}; }

// The code points of a word's name.
void name_of(const Cell* word, std::vector<uint32_t>& out) {
    std::string name = symbols::text(int32_t(word->w2));
    const auto* p = reinterpret_cast<const uint8_t*>(name.data());
    const uint8_t* end = p + name.size();
    while (p < end) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        out.push_back(cp < 0 ? 0xFFFD : uint32_t(cp));
    }
}

void units_of(const Cell* s, std::vector<uint32_t>& out) {
    int32_t n = length(s->w2);
    for (int32_t i = int32_t(s->w1); i < n; i++) out.push_back(char_at(s->w2, i));
}

// The text a value contributes to append, insert and change, as a string
// node (the value's own for text kinds) with the first element and count,
// or one code point. Formed text is cut to the part count here.
struct Run {
    Cell holder;  // keeps a formed text alive while protected by the caller
    uint32_t node;
    int32_t from;
    int32_t count;
    uint32_t cp;
};

void run_of(const Cell* value, const Cell* part, Run& run) {
    uint8_t t = cell::type(value);
    int64_t limit = -1;
    if (part) {
        if (is_text_kind(t) && t != type_tag) limit = std::max<int64_t>(0, part_of(value, part));
        else limit = std::max<int64_t>(0, integer_refinement("part", part));
    }
    if (t == type_char) {
        if (value->w2 > 0x10FFFF) errors::raise_out_of_range(value);
        run.node = 0;
        run.count = limit == 0 ? 0 : 1;
        run.cp = value->w2;
        return;
    }
    if (is_text_kind(t) && t != type_tag) {
        run.node = value->w2;
        run.from = std::min<int32_t>(int32_t(value->w1), length(value->w2));
        run.count = length(value->w2) - run.from;
        if (limit >= 0 && limit < run.count) run.count = int32_t(limit);
        return;
    }
    run.holder = make_cell(16);
    uint32_t node = run.holder.w2;
    if (t == type_tag) {
        append_char(node, '<');
        append_string(node, value);
        append_char(node, '>');
    } else if (is_any_block(t)) {
        gc::Local b(*value);
        for (int32_t i = int32_t(b.w1); i < int32_t(nodes::buffer(b.w2)->count()); i++) {
            gc::Local element(reinterpret_cast<const Cell*>(nodes::buffer(b.w2)->head_ptr())[i]);
            call_form(&element, node, false, -1);
        }
    } else {
        call_form(value, node, limit >= 0, int32_t(std::min<int64_t>(limit, 0x7FFFFFFF)));
    }
    if (limit >= 0) cut(node, int32_t(limit));
    run.node = node;
    run.from = 0;
    run.count = length(node);
}

int64_t dup_count(const Cell* dup) {
    if (!dup) return 1;
    return std::max<int64_t>(0, integer_refinement("dup", dup));
}

// ---- find ----

struct Needle {
    std::vector<uint32_t> units;
    uint32_t bitset = 0;  // node of a bitset! value
    bool bitset_complemented = false;
};

bool in_bitset(const Needle& n, uint32_t cp) {
    SeriesBuffer* b = nodes::buffer(n.bitset);
    uint32_t bytes = b->tail - b->head;
    if (uint64_t(cp) >= uint64_t(bytes) * 8) return n.bitset_complemented;
    return (b->head_ptr()[cp >> 3] & (0x80u >> (cp & 7))) != 0;
}

void needle_of(const Cell* series, const Cell* value, Needle& needle) {
    uint8_t st = cell::type(series), t = cell::type(value);
    bool bytes = st == type_binary;
    if (t == type_char) {
        needle.units.push_back(value->w2);
    } else if (t == type_bitset) {
        needle.bitset = value->w2;
        needle.bitset_complemented = (nodes::buffer(value->w2)->flags & series_flags::complemented) != 0;
    } else if (is_word_kind(t)) {
        name_of(value, needle.units);
    } else if (t == type_binary) {
        if (!bytes) errors::raise(err::script::invalid_arg, value);
        units_of(value, needle.units);
    } else if (is_text_kind(t) && t != type_tag) {
        if (bytes) {
            std::string utf8 = to_utf8(value);
            for (unsigned char c : utf8) needle.units.push_back(c);
        } else {
            units_of(value, needle.units);
        }
    } else if (bytes && t == type_integer) {
        needle.units.push_back(uint32_t(cell::get_integer(value)) & 0xFF);
    } else {
        gc::Local formed(make_cell(16));
        if (t == type_tag) {
            append_char(formed.w2, '<');
            append_string(formed.w2, value);
            append_char(formed.w2, '>');
        } else {
            call_form(value, formed.w2, false, -1);
        }
        units_of(&formed, needle.units);
    }
}

// The position of the match (an element index) and its length, or -1.
int64_t search(const Cell* s, const Cell* value, const FindOptions& o, int32_t* matched) {
    int64_t length = string::length(s->w2);
    series_ranges::SearchRange range;
    if (!series_ranges::search_range(s, length, o, &range)) return -1;
    Needle needle;
    needle_of(s, value, needle);
    bool fold_case = is_text_kind(cell::type(s)) && !o.case_sensitive && !o.same;
    int64_t n = needle.bitset ? 1 : int64_t(needle.units.size());
    if (n == 0) return -1;
    *matched = int32_t(n);
    uint32_t node = s->w2;
    auto matches_at = [&](int64_t p) {
        if (needle.bitset) return in_bitset(needle, char_at(node, int32_t(p)));
        for (int64_t k = 0; k < n; k++) {
            uint32_t c = char_at(node, int32_t(p + k)), w = needle.units[size_t(k)];
            if (fold_case ? fold(c) != fold(w) : c != w) return false;
        }
        return true;
    };
    return series_ranges::search_positions(range, length, n, o, matches_at);
}

// ---- sort ----

struct SortSpec {
    uint32_t unit;
    bool case_sensitive;
    bool reverse;
    int32_t offset;   // the unit compared within a record
    int32_t compared; // units compared from there
};

int32_t compare_records(const void* x, const void* y, intptr_t arg1, intptr_t) {
    const auto* spec = reinterpret_cast<const SortSpec*>(arg1);
    const auto* a = static_cast<const uint8_t*>(x);
    const auto* b = static_cast<const uint8_t*>(y);
    for (int32_t i = 0; i < spec->compared; i++) {
        uint32_t ca = unicode::get_unit(a, spec->unit, uint32_t(spec->offset + i));
        uint32_t cb = unicode::get_unit(b, spec->unit, uint32_t(spec->offset + i));
        if (!spec->case_sensitive) {
            ca = fold(ca);
            cb = fold(cb);
        }
        if (ca != cb) {
            int32_t r = ca < cb ? -1 : 1;
            return spec->reverse ? -r : r;
        }
    }
    return 0;
}

// ---- trim ----

void compact(uint32_t node, int32_t head, const std::vector<uint32_t>& kept) {
    SeriesBuffer* b = nodes::buffer(node);
    uint32_t unit = b->unit();
    for (size_t i = 0; i < kept.size(); i++) unicode::put_unit(b->head_ptr(), unit, uint32_t(head) + uint32_t(i), kept[i]);
    b->tail = b->head + uint32_t(head + int32_t(kept.size())) * unit;
}

// Plain trim (given_head and given_tail as the refinements were used) or
// trim/lines of a text.
std::vector<uint32_t> trimmed(const std::vector<uint32_t>& text, bool given_head, bool given_tail, bool lines) {
    bool neither = !given_head && !given_tail;
    bool head = lines || given_head || neither;
    bool tail = lines || given_tail || neither;
    size_t from = 0, to = text.size();
    if (head)
        while (from < to && is_space(text[from])) from++;
    bool removed_line_feed = false;
    if (tail)
        while (to > from && is_space(text[to - 1])) {
            if (text[to - 1] == '\n') removed_line_feed = true;
            to--;
        }
    std::vector<uint32_t> out;
    if (lines) {
        bool in_space = false;
        for (size_t i = from; i < to; i++) {
            if (is_space(text[i])) {
                in_space = true;
                continue;
            }
            if (in_space) out.push_back(' ');
            in_space = false;
            out.push_back(text[i]);
        }
        return out;
    }
    if (!neither) return {text.begin() + ptrdiff_t(from), text.begin() + ptrdiff_t(to)};
    bool line_start = false;
    for (size_t i = from; i < to; i++) {
        uint32_t c = text[i];
        if (line_start && is_horizontal_space(c)) continue;
        line_start = false;
        if (is_horizontal_space(c)) {
            // A run that ends a line goes; one followed by text stays.
            size_t j = i;
            while (j < to && is_horizontal_space(text[j])) j++;
            if (j < to && text[j] == '\n') {
                i = j - 1;
                continue;
            }
        }
        out.push_back(c);
        if (c == '\n') line_start = true;
    }
    if (removed_line_feed) out.push_back('\n');
    return out;
}

Cell result_at(const Cell* series, int64_t head) {
    Cell r = *series;
    r.w1 = uint32_t(head);
    return r;
}

}  // namespace

// ---- append, insert, change ----

bool insert_plain(const Cell* series, const Cell* value, bool append, Cell* result) {
    if (ownership::series_may_have_owner(series)) return false;
    uint8_t t = cell::type(value);
    Cell s = *series;
    int32_t n = length(s.w2);
    int32_t at = append ? n : std::min<int32_t>(int32_t(s.w1), n);
    int32_t added;
    if (t == type_integer && at == n) {
        added = append_decimal(cell::series_node(&s), cell::get_integer(value));
    } else if (t == type_integer) {
        integer_type::Decimal digits(cell::get_integer(value));
        added = digits.size();
        insert_ascii(s.w2, at, digits.data(), added);
    } else if (t == type_char && value->w2 <= 0x10FFFF) {
        added = 1;
        splice(s.w2, at, 0, 0, 0, 1, value->w2, 1);
    } else if (is_text_kind(t) && t != type_tag) {
        int32_t from = std::min<int32_t>(int32_t(value->w1), length(value->w2));
        added = length(value->w2) - from;
        splice(s.w2, at, 0, value->w2, from, added, 0, 1);
    } else {
        return false;
    }
    *result = result_at(&s, append ? 0 : at + added);
    return true;
}

namespace {

// Values whose form reads nothing but the value itself, so that forming them
// straight into a text cannot see that text change under it: scalars, and
// other texts (the text itself would be read while it grows).
bool forms_apart_from(const Cell* value, uint32_t text) {
    switch (cell::type(value)) {
        case type_integer: case type_float: case type_percent: case type_char: case type_none: case type_logic:
            return true;
        case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
            return cell::series_node(value) != text;
        default:
            return false;
    }
}

// A block appended to a text nobody owns, holding only values that form
// apart from it, is formed value by value straight into the tail, with no
// text in between. A form that raises takes back what was added before it,
// as the general path adds nothing until every value is formed.
bool append_formed(const Cell* series, const Cell* block, Cell* result) {
    if (!is_any_block(cell::type(block)) || ownership::series_may_have_owner(series)) return false;
    uint32_t text = cell::series_node(series);
    uint32_t values = cell::series_node(block);
    int32_t first = cell::series_index(block);
    int32_t end = int32_t(nodes::buffer(values)->cell_count());
    for (int32_t i = first; i < end; i++)
        if (!forms_apart_from(series::cells_head(values) + i, text)) return false;
    gc::Local s(*series);
    gc::Local b(*block);
    gc::Local element(Cell{});
    int32_t before = length(text);
    try {
        // A form may collect and move the block: its cells are read afresh.
        for (int32_t i = first; i < int32_t(nodes::buffer(cell::series_node(&b))->cell_count()); i++) {
            element = series::cells_head(cell::series_node(&b))[i];
            call_form(&element, cell::series_node(&s), false, -1);
        }
    } catch (...) {
        cut(cell::series_node(&s), before);
        throw;
    }
    *result = result_at(&s, 0);
    return true;
}

}  // namespace

void insert(Cell* series, const Cell* value, const Cell* part, bool, const Cell* dup, bool append, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    if (!part && !dup && insert_plain(&s, &v, append, result)) return;
    if (!part && !dup && append && append_formed(&s, &v, result)) return;
    Action action = append ? ownership::action_append : ownership::action_insert;
    int32_t n = length(s.w2);
    int32_t at = append ? n : std::min<int32_t>(int32_t(s.w1), n);
    if (!part && !dup && cell::type(&v) == type_integer) {
        // An owned text hears of the digits, which still go straight in.
        integer_type::Decimal digits(cell::get_integer(&v));
        int32_t added = digits.size();
        bool owned = report(&s, action, &v, at, added);
        insert_ascii(s.w2, at, digits.data(), added);
        reported(&s, action, owned, at, added);
        *result = result_at(&s, append ? 0 : at + added);
        return;
    }
    int64_t times = dup_count(dup);
    Run run{};
    gc::Protect keep_run(&run.holder);
    run_of(&v, part, run);
    n = length(s.w2);
    at = append ? n : std::min<int32_t>(int32_t(s.w1), n);
    int64_t added = int64_t(run.count) * times;
    bool owned = report(&s, action, &v, at, added);
    splice(s.w2, at, 0, run.node, run.from, run.count, run.cp, times);
    reported(&s, action, owned, at, added);
    *result = result_at(&s, append ? 0 : at + added);
}

void change(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int32_t head = clip_head(&s);
    int32_t n = length(s.w2);
    if (head >= n) {
        insert(&s, &v, nullptr, only, dup, true, result);
        *result = result_at(&s, length(s.w2));
        return;
    }
    int64_t times = dup_count(dup);
    Run run{};
    gc::Protect keep_run(&run.holder);
    run_of(&v, nullptr, run);
    int64_t written = int64_t(run.count) * times;
    int64_t replaced = part ? part_of(&s, part) : written;
    replaced = std::clamp<int64_t>(replaced, 0, n - head);
    bool owned = report(&s, ownership::action_change, &v, head, replaced);
    splice(s.w2, head, int32_t(replaced), run.node, run.from, run.count, run.cp, times);
    reported(&s, ownership::action_change, owned, head, written);
    *result = result_at(&s, head + written);
}

// ---- find, select ----

void find(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    int32_t matched = 0;
    int64_t p = search(&s, &v, options, &matched);
    if (p < 0) {
        *result = none;
        return;
    }
    *result = result_at(&s, options.tail ? p + matched : p);
}

void select(const Cell* series, const Cell* value, const FindOptions& options, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    FindOptions o = options;
    o.tail = o.match = false;
    int32_t matched = 0;
    int64_t p = search(&s, &v, o, &matched);
    if (p < 0 || p + matched >= length(s.w2)) {
        *result = none;
        return;
    }
    uint32_t c = char_at(s.w2, int32_t(p + matched));
    if (cell::type(&s) == type_binary) cell::make_integer(result, int32_t(c));
    else *result = char_cell(c);
}

// ---- sort ----

void sort(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator, const Cell* part, bool all,
          bool reverse, bool stable, Cell* result) {
    gc::Local s(*series);
    series_actions::SortPlan plan = series_actions::sort_plan(&s, string::length(s.w2), skip, comparator, part, all);
    if (plan.before_start) {
        s.w1 = 0;
        *result = s;
        return;
    }
    int64_t head = plan.head, count = plan.count, size = plan.size;
    int32_t offset = plan.offset, compared = plan.compared;
    s.w1 = uint32_t(head);
    int64_t records = count / size;
    if (records > 1) {
        bool owned = report(&s, ownership::action_sort, nullptr, head, count);
        records = series_actions::records_left(plan, string::length(s.w2));
        if (plan.by_function) {
            series_actions::sort_by_function(&s, plan, comparator, all, reverse, stable);
        } else if (records > 1) {
            SortSpec spec{unit_of(s.w2), case_sensitive, reverse, offset, compared};
            SeriesBuffer* b = nodes::buffer(s.w2);
            uint8_t* base = b->head_ptr() + size_t(head) * spec.unit;
            int32_t width = int32_t(size) * int32_t(spec.unit);
            if (stable)
                sort::merge(base, int32_t(records), width, reinterpret_cast<intptr_t>(&spec), 0, compare_records);
            else
                sort::quick(base, int32_t(records), width, reinterpret_cast<intptr_t>(&spec), 0, compare_records);
        }
        reported(&s, ownership::action_sort, owned, head, count);
    }
    *result = s;
}

// ---- swap, take, trim ----

void swap(Cell* a, Cell* b, Cell* result) {
    gc::Local x(*a);
    gc::Local y(*b);
    if (!is_string_kind(cell::type(&x))) errors::raise(err::script::invalid_arg, &x);
    if (!is_string_kind(cell::type(&y))) errors::raise(err::script::invalid_arg, &y);
    *result = x;
    if (at_tail(&x) || at_tail(&y)) return;
    uint32_t cx = char_at(x.w2, int32_t(x.w1)), cy = char_at(y.w2, int32_t(y.w1));
    // A byte series holds bytes only: a wider code point would be cut.
    if (cell::type(&x) == type_binary && cy > 0xFF) {
        Cell c = char_cell(cy);
        errors::raise_out_of_range(&c);
    }
    if (cell::type(&y) == type_binary && cx > 0xFF) {
        Cell c = char_cell(cx);
        errors::raise_out_of_range(&c);
    }
    bool owned_x = report(&x, ownership::action_swap, &y, x.w1, 1);
    bool owned_y = x.w2 != y.w2 && report(&y, ownership::action_swap, &x, y.w1, 1);
    poke_char(x.w2, int32_t(x.w1), cy);
    poke_char(y.w2, int32_t(y.w1), cx);
    reported(&x, ownership::action_swap, owned_x, x.w1, 1);
    reported(&y, ownership::action_swap, owned_y, y.w1, 1);
}

void take(Cell* series, const Cell* part, bool deep, bool last, Cell* result) {
    series_actions::take(series, part, deep, last, result);
    if (part || !is_string_kind(cell::type(result)) || length_from_head(result) != 1) return;
    uint32_t c = char_at(result->w2, int32_t(result->w1));
    if (cell::type(result) == type_binary) cell::make_integer(result, int32_t(c));
    else *result = char_cell(c);
}

void trim(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all, const Cell* with, Cell* result) {
    gc::Local s(*series);
    if (automatic) not_done();
    std::vector<uint32_t> set;
    if (with) {
        uint8_t t = cell::type(with);
        if (is_string_kind(t)) units_of(with, set);
        else if (t == type_char || t == type_integer) set.push_back(with->w2);
        else bad_refinement("with", with);
    } else if (all) {
        set = {'\t', '\n', '\r', ' '};
    }
    int32_t from = clip_head(&s);
    std::vector<uint32_t> text;
    units_of(&s, text);
    std::vector<uint32_t> kept;
    if (with || all) {
        for (uint32_t c : text)
            if (std::find(set.begin(), set.end(), c) == set.end()) kept.push_back(c);
    } else {
        kept = trimmed(text, head, tail, lines);
    }
    *result = s;
    if (kept == text) return;
    bool owned = report(&s, ownership::action_trim, nullptr, from, int64_t(text.size()));
    compact(s.w2, from, kept);
    reported(&s, ownership::action_trim, owned, from, int64_t(kept.size()));
}

// ---- paths and comparison ----

void eval_path(const PathStep& step, Cell* result) {
    gc::Local s(*step.parent);
    gc::Local e(*step.element);
    gc::Local path(step.path ? *step.path : none);
    uint8_t t = cell::type(&e);
    if (!step.value) {
        if (t == type_integer) {
            series_actions::pick(&s, &e, cell::get_integer(&e), result);
        } else if (t == type_word) {
            errors::raise(err::script::invalid_path, &path, &e);
        } else {
            select(&s, &e, FindOptions{}, result);
        }
        return;
    }
    gc::Local v(*step.value);
    if (t == type_integer) {
        series_actions::poke(&s, &e, &v, cell::get_integer(&e), result);
        return;
    }
    int32_t matched = 0;
    int64_t p = search(&s, &e, FindOptions{}, &matched);
    int64_t target = p + matched;
    if (p < 0 || target >= length(s.w2)) errors::raise(err::script::bad_path_set, &path, &e);
    Cell index;
    cell::make_integer(&index, int32_t(target - s.w1 + 1));
    series_actions::poke(&s, &index, &v, cell::get_integer(&index), result);
}

int32_t compare(const Cell* a, const Cell* b, int32_t op) {
    if (!is_text_kind(cell::type(b))) return not_comparable;
    if (cell::type(a) != cell::type(b) && op != op_equal && op != op_not_equal) return not_comparable;
    return compare_strings(a, b, op, false);
}

// ---- set operations ----

void set_operation(const Cell* first, const Cell* second, const Cell* skip, bool case_sensitive, SetOp op,
                   Cell* result) {
    gc::Local a(*first);
    gc::Local b(second ? *second : none);
    int64_t size = 1;
    if (skip) {
        size = integer_refinement("skip", skip);
        if (size < 1) bad_refinement("skip", skip);
    }
    gc::Local out(make_cell(length_from_head(&a) + (op == set_union ? length_from_head(&b) : 0)));
    cell::set_type(&out, cell::type(&a));
    auto pass = [&](const Cell* from, const Cell* other, bool check_other, bool keep_if_in_other) {
        int32_t n = length(from->w2);
        // 64-bit, so a skip near 2^31 cannot overflow past the end.
        for (int64_t i = from->w1; i < n; i += size) {
            uint32_t c = char_at(from->w2, int32_t(i));
            if (check_other && find_char_skip(other, c, int32_t(size), case_sensitive) != keep_if_in_other) continue;
            if (find_char_skip(&out, c, int32_t(size), case_sensitive)) continue;
            for (int64_t k = 0; k < size && i + k < length(from->w2); k++)
                append_char(out.w2, char_at(from->w2, int32_t(i + k)));
        }
    };
    switch (op) {
        case set_unique: pass(&a, nullptr, false, false); break;
        case set_union: pass(&a, nullptr, false, false); pass(&b, nullptr, false, false); break;
        case set_intersect: pass(&a, &b, true, true); break;
        case set_exclude: pass(&a, &b, true, false); break;
        case set_difference: pass(&a, &b, true, false); pass(&b, &a, true, false); break;
    }
    *result = out;
}

}  // namespace vum::string

namespace vum::string_type {

void init() {
    using namespace actions;
    string::init_scratch();
    Row r(type_string, "string!", type_series);
    r.inherit(series_slots)
        .set<slot_make>(string::make)
        .set<slot_to>(string::to)
        .set<slot_form>(string::form)
        .set<slot_mold>(string::mold)
        .set<slot_eval_path>(string::eval_path)
        .set<slot_compare>(string::compare)
        .set<slot_append>(string::insert)
        .set<slot_insert>(string::insert)
        .set<slot_change>(string::change)
        .set<slot_find>(string::find)
        .set<slot_select>(string::select)
        .set<slot_sort>(string::sort)
        .set<slot_swap>(string::swap)
        .set<slot_take>(string::take)
        .set<slot_trim>(string::trim);
    datatype::register_type(r);
}

}  // namespace vum::string_type
