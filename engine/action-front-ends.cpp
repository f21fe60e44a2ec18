#include "engine/action-front-ends.h"

#include <algorithm>

#include "datatypes/actions.h"
#include "datatypes/block-search.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/port.h"
#include "datatypes/registry.h"
#include "datatypes/series.h"
#include "datatypes/string-type.h"
#include "datatypes/string.h"
#include "generated/native-ids.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/value-stack.h"

namespace vum::actions {

namespace {

using stack::arg;

// The first argument's word of each action's spec, for the report of a
// datatype that lacks the action.
constexpr const char* first_argument[datatype::action_count + 1] = {
    nullptr, "type", "value", "value", "type", "value", "value", "parent", nullptr, "value1",
    "value", "value1", "value1", "value1", "number", "number", "value1", "n", "value1", "number",
    "number", "value1", "value", "value1", "value1", "series", "series", "series", "series",
    "series", "value", "series", "series", "series", "series", "series", "series", "origin",
    "series", "series", "series", "series", "series", "series", "series", "series", "series",
    "series1", "series", "series", "series", "series", "port", "port", "file", "target", "port",
    "port", "target", "source", "from", "port", "destination",
};

// ------------------------------------------------------------ refinements

bool used(const int32_t* refinements, int32_t k) { return refinements[k] >= 0; }

// The refinement's (first) argument cell, or null when it was not used.
Cell* given(const int32_t* refinements, int32_t k) {
    return refinements[k] >= 0 ? arg(refinements[k]) : nullptr;
}

// ------------------------------------------------------------ dispatch

// script expect-arg: the action's word, the datatype, the argument's word.
[[noreturn]] void expect_type(int32_t slot, int32_t type, const char* argument) {
    Cell datatype = {type_datatype, type ? uint32_t(type) : uint32_t(type_unset), 0, 0};
    Cell name = word(slot);
    Cell argument_word = context::load_word(argument);
    errors::raise(err::script::expect_arg, &name, &datatype, &argument_word);
}

[[noreturn]] void expect_arg(int32_t slot, const Cell* value, const char* argument) {
    expect_type(slot, cell::type(value), argument);
}

// port!: a port whose actor field holds a handle! answers the slots from
// append (25) on from the handle's table of 38 handlers (index slot - 25),
// and an empty entry there raises access no-port-action. Any other port
// goes through its datatype's row, which forwards to the actor object.
datatype::Handler port_actor(const Cell* port, int32_t slot) { return port::actor_handler(port, slot); }

datatype::Handler front_end_handler(int32_t type, const Cell* value, int32_t slot) {
    if (type == type_port && slot >= slot_append) {
        if (datatype::Handler h = port_actor(value, slot)) return h;
    }
    if (datatype::Handler h = datatype::handler(type, slot)) return h;
    expect_type(slot, type, first_argument[slot]);
}

template <Slot S>
SlotFnT<S> front_end_handler(int32_t type, const Cell* value) {
    return detail::restored<S>(front_end_handler(type, value, S));
}

// The handler of the first argument's type.
template <Slot S>
SlotFnT<S> on_first() {
    const Cell* value = arg(0);
    return front_end_handler<S>(cell::type(value), value);
}

int32_t integer_argument(int32_t slot, const Cell* value, const char* argument) {
    if (cell::type(value) != type_integer) expect_arg(slot, value, argument);
    return cell::get_integer(value);
}

// ------------------------------------------------------------ series positions

// The kinds a /part count may measure: the any-block, text and byte kinds,
// vector!, image! and map!.
bool is_measurable(uint8_t t) {
    switch (t) {
        case type_block: case type_paren: case type_path: case type_lit_path: case type_set_path:
        case type_get_path: case type_hash: case type_string: case type_file: case type_url: case type_tag:
        case type_email: case type_ref: case type_binary: case type_vector: case type_image: case type_map:
            return true;
        default:
            return false;
    }
}

// An index past the tail moves to the tail. image! counts pixels, not
// buffer elements, and a map! has no position: both are left alone.
void clamp_to_tail(Cell* series) {
    uint8_t t = cell::type(series);
    if (!is_measurable(t) || t == type_image || t == type_map || series->w2 == 0) return;
    int32_t length = series_actions::buffer_length(series);
    if (int32_t(series->w1) > length) series->w1 = uint32_t(length);
}

bool same_series(const Cell* a, const Cell* b) { return cell::type(a) == cell::type(b) && a->w2 == b->w2; }

// A /part range given as a position in the measured series becomes the
// count from that series' position (both clamped to their tails). Counts
// stay as they are, and other values (a pair for an image) are the
// handler's to read. Returns false when the range is not a count.
bool range_to_count(Cell* range, Cell* measured) {
    if (cell::type(range) == type_integer) return true;
    if (!is_measurable(cell::type(range))) return false;
    if (!same_series(range, measured)) errors::raise_refine_arg("part", range);
    clamp_to_tail(range);
    clamp_to_tail(measured);
    cell::make_integer(range, int32_t(range->w1) - int32_t(measured->w1));
    return true;
}

// The /part rule of append and insert: the range applies to the value
// inserted. Returns false when nothing is to be inserted; otherwise the
// range is left as a positive count (the value moved back for a negative
// one), or as the handler's to read.
bool value_part(Cell* value, Cell* part) {
    if (!is_measurable(cell::type(value)) || value->w2 == 0)
        errors::raise(err::script::invalid_part, part);
    clamp_to_tail(value);
    if (!range_to_count(part, value)) return true;
    int32_t count = cell::get_integer(part);
    if (count == 0 || (count < 0 && value->w1 == 0)) return false;
    if (count < 0) {
        // The elements before the value's position, as many as there are.
        int64_t from = std::max<int64_t>(int64_t(value->w1) + count, 0);
        cell::make_integer(part, int32_t(int64_t(value->w1) - from));
        value->w1 = uint32_t(from);
    }
    return true;
}

// The index of pick and poke as a number: true 1, false 2, a char! or
// integer! its value, anything else 0.
int32_t boxed_index(const Cell* index) {
    switch (cell::type(index)) {
        case type_logic: return index->w1 ? 1 : 2;
        case type_char: case type_integer: return int32_t(index->w2);
        default: return 0;
    }
}

// ------------------------------------------------------------ front-ends

// Actions whose handlers read the frame themselves.
template <Slot S>
void frame_action(const int32_t*) {
    on_first<S>()();
}

// make and to: a datatype! names the type made; any other value is a
// prototype of its own type.
template <Slot S>
void make_action(const int32_t*) {
    Cell* type = arg(0);
    int32_t t = cell::type(type) == type_datatype ? int32_t(type->w1) : cell::type(type);
    front_end_handler<S>(t, type)(type, arg(1), t, arg(0));
}

void random_action(const int32_t* r) {  // /seed /secure /only
    on_first<slot_random>()(arg(0), used(r, refine::random::seed), used(r, refine::random::secure),
                            used(r, refine::random::only), arg(0));
}

void reflect_action(const int32_t*) {
    ReflectFn fn = on_first<slot_reflect>();
    if (cell::type(arg(1)) != type_word) expect_arg(slot_reflect, arg(1), "field");
    fn(arg(0), int32_t(arg(1)->w2), arg(0));
}

// form and mold with /part: a limit below 1 gives an empty string without
// producing any text; otherwise the text is cut back to the limit.
template <class Produce>
void text_action(int32_t slot, const Cell* part, Produce produce) {
    int32_t limit = -1;
    if (part) {
        limit = integer_argument(slot, part, "limit");
        if (limit < 1) {
            cell::make_series(arg(0), type_string, string::make(1));
            return;
        }
    }
    uint32_t buffer = string::make(16);
    gc::ProtectNode keep(&buffer);
    produce(buffer, limit);
    if (part) string::cut(buffer, limit);
    cell::make_series(arg(0), type_string, buffer);
}

void form_action(const int32_t* r) {  // /part limit
    on_first<slot_form>();
    const Cell* part = given(r, refine::form::part);
    text_action(slot_form, part, [&](uint32_t buffer, int32_t limit) {
        call_form(arg(0), buffer, part != nullptr, limit);
    });
}

void mold_action(const int32_t* r) {  // /only /all /flat /part limit
    on_first<slot_mold>();
    const Cell* part = given(r, refine::mold::part);
    text_action(slot_mold, part, [&](uint32_t buffer, int32_t limit) {
        call_mold(arg(0), buffer, used(r, refine::mold::only), used(r, refine::mold::all), used(r, refine::mold::flat),
                  part != nullptr, limit, 0);
    });
}

// Path evaluation: parent, element, value; with the set refinement the
// value is stored.
void eval_path_action(const int32_t* r) {
    auto fn = lookup<slot_eval_path>(cell::type(arg(0)), arg(1));
    PathStep step{arg(0), arg(1), used(r, 0) ? arg(2) : nullptr, nullptr, nullptr, nullptr, -1, false, true, false,
                  false};
    fn(step, arg(0));
}

// Comparison: value1, value2 and an operator code, answering a logic!.
void compare_action(const int32_t*) {
    int32_t op = cell::type(arg(2)) == type_integer ? cell::get_integer(arg(2)) : -1;
    if (op < op_equal || op > op_find) errors::raise(err::script::invalid_arg, arg(2));
    cell::make_logic(arg(0), compare(arg(0), arg(1), op));
}

void round_action(const int32_t* r) {  // /to scale /even /down /half-down /floor /ceiling /half-ceiling
    on_first<slot_round>()(arg(0), given(r, refine::round::to), used(r, refine::round::even),
                           used(r, refine::round::down), used(r, refine::round::half_down),
                           used(r, refine::round::floor), used(r, refine::round::ceiling),
                           used(r, refine::round::half_ceiling), arg(0));
}

template <Slot S>
void predicate_action(const int32_t*) {
    cell::make_logic(arg(0), on_first<S>()(arg(0)));
}

template <Slot S>
void value_action(const int32_t*) {
    on_first<S>()(arg(0), arg(0));
}

// append and insert: series, value; /part length /only /dup count.
static_assert(refine::append::part == refine::insert::part && refine::append::only == refine::insert::only &&
              refine::append::dup == refine::insert::dup);
// The plain append or insert (no refinement) into a string! or block!,
// handed to the datatype's own quick insert before any dispatch; false
// when the series or value needs the general path.
bool insert_plain(const int32_t* r, bool append) {
    if (used(r, refine::insert::part) || used(r, refine::insert::only) || used(r, refine::insert::dup)) return false;
    Cell* series = arg(0);
    switch (cell::type(series)) {
        case type_string: return string::insert_plain(series, arg(1), append, series);
        case type_block: return block_search::insert_plain(series, arg(1), append, series);
        default: return false;
    }
}

template <bool Append>
void insert_action(const int32_t* r) {
    if (insert_plain(r, Append)) return;
    InsertFn fn = on_first<Append ? slot_append : slot_insert>();
    Cell* part = given(r, refine::insert::part);
    Cell* dup = given(r, refine::insert::dup);
    if (!Append) clamp_to_tail(arg(0));
    if (dup && cell::type(dup) == type_integer && cell::get_integer(dup) < 1) return;
    if (part && !value_part(arg(1), part)) return;
    fn(arg(0), arg(1), part, used(r, refine::insert::only), dup, Append, arg(0));
}

// change: series, value; /part range /only /dup count. The range measures
// the series changed.
void change_action(const int32_t* r) {
    ChangeFn fn = on_first<slot_change>();
    Cell* part = given(r, refine::change::part);
    uint8_t t = cell::type(arg(0));
    if (t != type_port && t != type_image) clamp_to_tail(arg(0));
    if (part) range_to_count(part, arg(0));
    fn(arg(0), arg(1), part, used(r, refine::change::only), given(r, refine::change::dup), arg(0));
}

void copy_action(const int32_t* r) {  // /part length /deep /types kind
    CopyFn fn = on_first<slot_copy>();
    const Cell* kind = given(r, refine::copy::types);
    if (kind && cell::type(kind) != type_datatype && cell::type(kind) != type_typeset)
        expect_arg(slot_copy, kind, "kind");
    fn(arg(0), arg(0), given(r, refine::copy::part), used(r, refine::copy::deep), kind);
}

// find and select share their refinements up to /reverse: /part length
// /only /case /same /any /with wild /skip size /last /reverse, then find's
// /tail /match.
static_assert(refine::select::part == refine::find::part && refine::select::only == refine::find::only &&
              refine::select::case_ == refine::find::case_ && refine::select::same == refine::find::same &&
              refine::select::any == refine::find::any && refine::select::with == refine::find::with &&
              refine::select::skip == refine::find::skip && refine::select::last == refine::find::last &&
              refine::select::reverse == refine::find::reverse);
FindOptions find_options(const int32_t* r, bool with_tail_and_match) {
    FindOptions o;
    o.part = given(r, refine::find::part);
    o.only = used(r, refine::find::only);
    o.case_sensitive = used(r, refine::find::case_);
    o.same = used(r, refine::find::same);
    o.any = used(r, refine::find::any);
    o.with = given(r, refine::find::with);
    o.skip = given(r, refine::find::skip);
    o.last = used(r, refine::find::last);
    o.reverse = used(r, refine::find::reverse);
    if (with_tail_and_match) {
        o.tail = used(r, refine::find::tail);
        o.match = used(r, refine::find::match);
    }
    return o;
}

void find_action(const int32_t* r) {
    on_first<slot_find>()(arg(0), arg(1), find_options(r, true), arg(0));
}

void select_action(const int32_t* r) {
    on_first<slot_select>()(arg(0), arg(1), find_options(r, false), arg(0));
}

void length_action(const int32_t*) {
    int32_t n = on_first<slot_length_q>()(arg(0));
    if (n < 0)
        cell::make_none(arg(0));
    else
        cell::make_integer(arg(0), n);
}

void move_action(const int32_t* r) {  // /part length
    on_first<slot_move>()(arg(0), arg(1), given(r, refine::move::part), arg(0));
}

void pick_action(const int32_t*) {
    on_first<slot_pick>()(arg(0), arg(1), boxed_index(arg(1)), arg(0));
}

// poke answers the value poked, not the series.
void poke_action(const int32_t*) {
    on_first<slot_poke>()(arg(0), arg(1), arg(2), boxed_index(arg(1)), arg(0));
    *arg(0) = *arg(2);
}

void put_action(const int32_t* r) {  // /case
    on_first<slot_put>()(arg(0), arg(1), arg(2), used(r, refine::put::case_), arg(0));
}

void remove_action(const int32_t* r) {  // /part length /key key-arg
    on_first<slot_remove>()(arg(0), given(r, refine::remove::part), given(r, refine::remove::key), arg(0));
}

void reverse_action(const int32_t* r) {  // /part length /skip size
    on_first<slot_reverse>()(arg(0), given(r, refine::reverse::part), given(r, refine::reverse::skip), arg(0));
}

void sort_action(const int32_t* r) {  // /case /skip size /compare comparator /part length /all /reverse /stable
    on_first<slot_sort>()(arg(0), used(r, refine::sort::case_), given(r, refine::sort::skip),
                          given(r, refine::sort::compare), given(r, refine::sort::part),
                          used(r, refine::sort::all), used(r, refine::sort::reverse),
                          used(r, refine::sort::stable), arg(0));
}

void swap_action(const int32_t*) {
    on_first<slot_swap>()(arg(0), arg(1), arg(0));
}

void take_action(const int32_t* r) {  // /part length /deep /last
    on_first<slot_take>()(arg(0), given(r, refine::take::part), used(r, refine::take::deep),
                          used(r, refine::take::last), arg(0));
}

void trim_action(const int32_t* r) {  // /head /tail /auto /lines /all /with str
    on_first<slot_trim>()(arg(0), used(r, refine::trim::head), used(r, refine::trim::tail),
                          used(r, refine::trim::auto_), used(r, refine::trim::lines), used(r, refine::trim::all),
                          given(r, refine::trim::with), arg(0));
}

void modify_action(const int32_t* r) {  // /case
    on_first<slot_modify>()(arg(0), arg(1), arg(2), used(r, refine::modify::case_), arg(0));
}

template <Slot S>
void target_action(const int32_t*) {
    on_first<S>()(arg(0), arg(0));
}

void open_action(const int32_t* r) {  // /new /read /write /seek /allow access
    on_first<slot_open>()(arg(0), used(r, refine::open::new_), used(r, refine::open::read),
                          used(r, refine::open::write), used(r, refine::open::seek), given(r, refine::open::allow),
                          arg(0));
}

void read_action(const int32_t* r) {  // /part length /seek index /binary /lines /info /as encoding
    on_first<slot_read>()(arg(0), given(r, refine::read::part), given(r, refine::read::seek),
                          used(r, refine::read::binary), used(r, refine::read::lines), used(r, refine::read::info),
                          given(r, refine::read::as), arg(0));
}

void rename_action(const int32_t*) {
    on_first<slot_rename>()(arg(0), arg(1), arg(0));
}

// /binary /lines /info /append /part length /seek index /allow access /as encoding
void write_action(const int32_t* r) {
    on_first<slot_write>()(arg(0), arg(1), used(r, refine::write::binary), used(r, refine::write::lines),
                           used(r, refine::write::info), used(r, refine::write::append),
                           given(r, refine::write::part), given(r, refine::write::seek),
                           given(r, refine::write::allow), given(r, refine::write::as), arg(0));
}

}  // namespace

void register_front_ends() {
    const struct {
        int32_t slot;
        NativeFn fn;
    } entries[] = {
        {slot_make, make_action<slot_make>},
        {slot_random, random_action},
        {slot_reflect, reflect_action},
        {slot_to, make_action<slot_to>},
        {slot_form, form_action},
        {slot_mold, mold_action},
        {slot_eval_path, eval_path_action},
        {slot_compare, compare_action},
        {slot_absolute, frame_action<slot_absolute>},
        {slot_add, frame_action<slot_add>},
        {slot_divide, frame_action<slot_divide>},
        {slot_multiply, frame_action<slot_multiply>},
        {slot_negate, frame_action<slot_negate>},
        {slot_power, frame_action<slot_power>},
        {slot_remainder, frame_action<slot_remainder>},
        {slot_round, round_action},
        {slot_subtract, frame_action<slot_subtract>},
        {slot_even_q, predicate_action<slot_even_q>},
        {slot_odd_q, predicate_action<slot_odd_q>},
        {slot_and, frame_action<slot_and>},
        {slot_complement, value_action<slot_complement>},
        {slot_or, frame_action<slot_or>},
        {slot_xor, frame_action<slot_xor>},
        {slot_append, insert_action<true>},
        {slot_at, frame_action<slot_at>},
        {slot_back, frame_action<slot_back>},
        {slot_change, change_action},
        {slot_clear, value_action<slot_clear>},
        {slot_copy, copy_action},
        {slot_find, find_action},
        {slot_head, frame_action<slot_head>},
        {slot_head_q, frame_action<slot_head_q>},
        {slot_index_q, frame_action<slot_index_q>},
        {slot_insert, insert_action<false>},
        {slot_length_q, length_action},
        {slot_move, move_action},
        {slot_next, frame_action<slot_next>},
        {slot_pick, pick_action},
        {slot_poke, poke_action},
        {slot_put, put_action},
        {slot_remove, remove_action},
        {slot_reverse, reverse_action},
        {slot_select, select_action},
        {slot_sort, sort_action},
        {slot_skip, frame_action<slot_skip>},
        {slot_swap, swap_action},
        {slot_tail, frame_action<slot_tail>},
        {slot_tail_q, frame_action<slot_tail_q>},
        {slot_take, take_action},
        {slot_trim, trim_action},
        {slot_create, target_action<slot_create>},
        {slot_close, target_action<slot_close>},
        {slot_delete, target_action<slot_delete>},
        {slot_modify, modify_action},
        {slot_open, open_action},
        {slot_open_q, target_action<slot_open_q>},
        {slot_query, target_action<slot_query>},
        {slot_read, read_action},
        {slot_rename, rename_action},
        {slot_update, target_action<slot_update>},
        {slot_write, write_action},
    };
    for (const auto& e : entries) natives::set_front_end(e.slot, e.fn);
}

}  // namespace vum::actions
