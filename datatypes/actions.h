// Actions: the 62 polymorphic operations every datatype may implement.
// Calling one dispatches to the handler that the first argument's datatype
// registered for the action's slot. Other modules call the twin workers
// below with arguments already in hand, so a datatype can form, mold, copy
// or compare another value without the evaluator.
//
// Handler conventions, for every datatype module:
// - Every Cell* argument points at a cell that does not move (a value-stack
//   cell or a protected C++ local); a refinement that was not used arrives
//   as nullptr (its value) or false (its flag).
// - A handler that produces a value writes it to `result`, which may be the
//   same cell as its first argument: read what you need first.
// - Frame handlers (FrameFn) read their operands from the current frame,
//   stack::arg(0) and stack::arg(1), and leave the result in stack::arg(0).
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "datatypes/registry.h"
#include "memory/cell.h"

namespace vum::actions {

enum Slot : int32_t {
    slot_make = 1, slot_random, slot_reflect, slot_to, slot_form, slot_mold, slot_eval_path,
    slot_set_path, slot_compare, slot_absolute, slot_add, slot_divide, slot_multiply, slot_negate,
    slot_power, slot_remainder, slot_round, slot_subtract, slot_even_q, slot_odd_q, slot_and,
    slot_complement, slot_or, slot_xor, slot_append, slot_at, slot_back, slot_change, slot_clear,
    slot_copy, slot_find, slot_head, slot_head_q, slot_index_q, slot_insert, slot_length_q,
    slot_move, slot_next, slot_pick, slot_poke, slot_put, slot_remove, slot_reverse, slot_select,
    slot_sort, slot_skip, slot_swap, slot_tail, slot_tail_q, slot_take, slot_trim, slot_create,
    slot_close, slot_delete, slot_modify, slot_open, slot_open_q, slot_query, slot_read,
    slot_rename, slot_update, slot_write,
};

// Comparison operators passed to every compare handler.
enum Op : int32_t {
    op_equal = 0, op_not_equal = 1, op_strict_equal = 2, op_lesser = 3, op_lesser_equal = 4,
    op_greater = 5, op_greater_equal = 6, op_sort = 7, op_case_sort = 8, op_same = 9,
    op_equal_path_10 = 10, op_equal_path_11 = 11, op_find = 12,
};
constexpr int32_t not_comparable = -2;

struct PathStep {
    const Cell* parent;
    const Cell* element;
    const Cell* value;     // the value to set; null to get
    const Cell* path;      // null when unknown
    const Cell* container; // one level up
    const Cell* previous;  // the previous element
    int32_t index;         // the element's position in the path, -1 when unknown
    bool case_sensitive;
    bool last;
    bool notify;
    bool reserved;
};

struct FindOptions {
    const Cell* part = nullptr;
    bool only = false;
    bool case_sensitive = false;
    bool same = false;
    bool any = false;
    const Cell* with = nullptr;
    const Cell* skip = nullptr;
    bool last = false;
    bool reverse = false;
    bool tail = false;
    bool match = false;
};

using MakeFn = void (*)(const Cell* prototype, const Cell* spec, int32_t type, Cell* result);
using RandomFn = void (*)(Cell* value, bool seed, bool secure, bool only, Cell* result);
using ReflectFn = void (*)(const Cell* value, int32_t field_symbol, Cell* result);
// form and mold append to `buffer` (a string! node) and return the limit
// less the characters written; a limit below 0 means none.
using FormFn = int32_t (*)(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
using MoldFn = int32_t (*)(const Cell* value, uint32_t buffer, bool only, bool all, bool flat,
                           const Cell* arg, int32_t limit, int32_t indent);
using EvalPathFn = void (*)(const PathStep& step, Cell* result);
using CompareFn = int32_t (*)(const Cell* a, const Cell* b, int32_t op);
using FrameFn = void (*)();
// The code of a native and the front-end of an action: the arguments are in
// the current frame in spec order (stack::arg(0) is the first and the result
// slot); refinements[k] is -1 when the k-th refinement of the spec is not
// used, else the frame position of its first argument (where that argument
// would be, for a refinement that takes none).
using NativeFn = void (*)(const int32_t* refinements);
using ValueFn = void (*)(Cell* value, Cell* result);    // complement, clear
using LengthFn = int32_t (*)(Cell* value);              // length?: -1 answers none
using PredicateFn = bool (*)(const Cell* value);        // even?, odd?
using RoundFn = void (*)(const Cell* value, const Cell* scale, bool even, bool down, bool half_down,
                         bool floor, bool ceiling, bool half_ceiling, Cell* result);
using InsertFn = void (*)(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup,
                          bool append, Cell* result);  // append and insert
using ChangeFn = void (*)(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup,
                          Cell* result);
using CopyFn = void (*)(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types);
using FindFn = void (*)(const Cell* series, const Cell* value, const FindOptions& options, Cell* result);
using MoveFn = void (*)(Cell* origin, Cell* target, const Cell* part, Cell* result);
using PickFn = void (*)(const Cell* series, const Cell* index, int32_t boxed, Cell* result);
using PokeFn = void (*)(Cell* series, const Cell* index, const Cell* value, int32_t boxed, Cell* result);
using PutFn = void (*)(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result);
using RemoveFn = void (*)(Cell* series, const Cell* part, const Cell* key, Cell* result);
using ReverseFn = void (*)(Cell* series, const Cell* part, const Cell* skip, Cell* result);
using SortFn = void (*)(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator,
                        const Cell* part, bool all, bool reverse, bool stable, Cell* result);
using SwapFn = void (*)(Cell* a, Cell* b, Cell* result);
using TakeFn = void (*)(Cell* series, const Cell* part, bool deep, bool last, Cell* result);
using TrimFn = void (*)(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all,
                        const Cell* with, Cell* result);
using ModifyFn = void (*)(Cell* target, const Cell* field, const Cell* value, bool case_sensitive,
                          Cell* result);

// The I/O actions, which series of the locator kinds hand to the file and
// network services.
using OpenFn = void (*)(const Cell* spec, bool new_port, bool read, bool write, bool seek, const Cell* allow,
                        Cell* result);
using ReadFn = void (*)(const Cell* source, const Cell* part, const Cell* seek, bool binary, bool lines, bool info,
                        const Cell* as, Cell* result);
using WriteFn = void (*)(const Cell* destination, const Cell* value, bool binary, bool lines, bool info, bool append,
                         const Cell* part, const Cell* seek, const Cell* allow, const Cell* as, Cell* result);
using TargetFn = void (*)(const Cell* target, Cell* result);  // delete, query
using RenameFn = void (*)(const Cell* from, const Cell* to, Cell* result);

// ------------------------------------------------------------ typed rows

// The handler signature of each slot, as its front-end calls it. set-path
// has no front-end and takes no handler. The arithmetic, bitwise and
// positioning slots take frame handlers, which read their operands from
// the frame.
template <Slot S>
struct SlotFn {};
template <Slot S>
using SlotFnT = typename SlotFn<S>::type;

template <> struct SlotFn<slot_make> : std::type_identity<MakeFn> {};
template <> struct SlotFn<slot_random> : std::type_identity<RandomFn> {};
template <> struct SlotFn<slot_reflect> : std::type_identity<ReflectFn> {};
template <> struct SlotFn<slot_to> : std::type_identity<MakeFn> {};
template <> struct SlotFn<slot_form> : std::type_identity<FormFn> {};
template <> struct SlotFn<slot_mold> : std::type_identity<MoldFn> {};
template <> struct SlotFn<slot_eval_path> : std::type_identity<EvalPathFn> {};
template <> struct SlotFn<slot_compare> : std::type_identity<CompareFn> {};
template <> struct SlotFn<slot_absolute> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_add> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_divide> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_multiply> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_negate> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_power> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_remainder> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_round> : std::type_identity<RoundFn> {};
template <> struct SlotFn<slot_subtract> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_even_q> : std::type_identity<PredicateFn> {};
template <> struct SlotFn<slot_odd_q> : std::type_identity<PredicateFn> {};
template <> struct SlotFn<slot_and> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_complement> : std::type_identity<ValueFn> {};
template <> struct SlotFn<slot_or> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_xor> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_append> : std::type_identity<InsertFn> {};
template <> struct SlotFn<slot_at> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_back> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_change> : std::type_identity<ChangeFn> {};
template <> struct SlotFn<slot_clear> : std::type_identity<ValueFn> {};
template <> struct SlotFn<slot_copy> : std::type_identity<CopyFn> {};
template <> struct SlotFn<slot_find> : std::type_identity<FindFn> {};
template <> struct SlotFn<slot_head> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_head_q> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_index_q> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_insert> : std::type_identity<InsertFn> {};
template <> struct SlotFn<slot_length_q> : std::type_identity<LengthFn> {};
template <> struct SlotFn<slot_move> : std::type_identity<MoveFn> {};
template <> struct SlotFn<slot_next> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_pick> : std::type_identity<PickFn> {};
template <> struct SlotFn<slot_poke> : std::type_identity<PokeFn> {};
template <> struct SlotFn<slot_put> : std::type_identity<PutFn> {};
template <> struct SlotFn<slot_remove> : std::type_identity<RemoveFn> {};
template <> struct SlotFn<slot_reverse> : std::type_identity<ReverseFn> {};
template <> struct SlotFn<slot_select> : std::type_identity<FindFn> {};
template <> struct SlotFn<slot_sort> : std::type_identity<SortFn> {};
template <> struct SlotFn<slot_skip> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_swap> : std::type_identity<SwapFn> {};
template <> struct SlotFn<slot_tail> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_tail_q> : std::type_identity<FrameFn> {};
template <> struct SlotFn<slot_take> : std::type_identity<TakeFn> {};
template <> struct SlotFn<slot_trim> : std::type_identity<TrimFn> {};
template <> struct SlotFn<slot_create> : std::type_identity<TargetFn> {};
template <> struct SlotFn<slot_close> : std::type_identity<TargetFn> {};
template <> struct SlotFn<slot_delete> : std::type_identity<TargetFn> {};
template <> struct SlotFn<slot_modify> : std::type_identity<ModifyFn> {};
template <> struct SlotFn<slot_open> : std::type_identity<OpenFn> {};
template <> struct SlotFn<slot_open_q> : std::type_identity<TargetFn> {};
template <> struct SlotFn<slot_query> : std::type_identity<TargetFn> {};
template <> struct SlotFn<slot_read> : std::type_identity<ReadFn> {};
template <> struct SlotFn<slot_rename> : std::type_identity<RenameFn> {};
template <> struct SlotFn<slot_update> : std::type_identity<TargetFn> {};
template <> struct SlotFn<slot_write> : std::type_identity<WriteFn> {};

// The one place a handler loses its type: only a handler of the slot's own
// signature is accepted.
template <Slot S>
datatype::Handler erased(SlotFnT<S> fn) {
    return reinterpret_cast<datatype::Handler>(fn);
}

// Whether the handlers of slot s have the signature Fn.
template <class Fn>
constexpr bool slot_takes(Slot s) {
    return [s]<int32_t... K>(std::integer_sequence<int32_t, K...>) {
        return ((s == Slot(K + 1) && [] {
                     if constexpr (requires { typename SlotFn<Slot(K + 1)>::type; })
                         return std::is_same_v<SlotFnT<Slot(K + 1)>, Fn>;
                     else
                         return false;
                 }()) || ...);
    }(std::make_integer_sequence<int32_t, datatype::action_count>{});
}

// A slot chosen at run time among slots whose handlers share the signature
// Fn, as a table of cases over the arithmetic slots holds them. It is made
// only from a constant slot of that signature, so a slot of another one
// does not compile.
template <class Fn>
class SlotOf {
public:
    consteval SlotOf(Slot s) : slot_(s) {
        if (!slot_takes<Fn>(s)) throw "the slot's handlers have another signature";
    }
    constexpr operator Slot() const { return slot_; }

private:
    Slot slot_;
};

namespace detail {
// Back from the registry's erased form, to the signature of the slot the
// handler was read from: the readers below pass that slot along with it.
template <Slot S>
SlotFnT<S> restored(datatype::Handler h) {
    return reinterpret_cast<SlotFnT<S>>(h);
}
template <class Fn>
Fn restored(datatype::Handler h, SlotOf<Fn>) {
    return reinterpret_cast<Fn>(h);
}
}  // namespace detail

using SlotGroup = std::span<const Slot>;

// The slots series! fills; the series kinds take them unless they say
// otherwise.
inline constexpr Slot series_slots[] = {
    slot_random, slot_reflect, slot_at, slot_back, slot_clear, slot_copy, slot_head, slot_head_q,
    slot_index_q, slot_length_q, slot_move, slot_next, slot_pick, slot_poke, slot_remove, slot_reverse,
    slot_skip, slot_tail, slot_tail_q, slot_take, slot_modify,
};

// What the kinds of string! (url!, file!, tag!, email!, ref!) take from it:
// moving, reading, searching and editing in place.
inline constexpr Slot text_series_slots[] = {
    slot_at, slot_back, slot_change, slot_clear, slot_copy, slot_find, slot_head, slot_head_q,
    slot_index_q, slot_insert, slot_length_q, slot_move, slot_next, slot_pick, slot_poke, slot_remove,
    slot_reverse, slot_select, slot_skip, slot_swap, slot_tail, slot_tail_q, slot_take,
};

// A datatype's row, built as data and then registered:
//   datatype::register_type(Row(type_map, "map!").set<slot_make>(make).set<slot_mold>(mold));
// A slot not named stays empty (its action raises); an inherited slot takes
// the parent's handler when the row is registered.
class Row : public datatype::Record {
public:
    Row(int32_t type, const char* name, int32_t parent = 0) : Record(type, parent, name) {}

    template <Slot S>
    Row& set(SlotFnT<S> fn) {
        slots_[S - 1] = erased<S>(fn);
        return *this;
    }
    template <Slot... S>
    Row& inherit() {
        ((slots_[S - 1] = datatype::inherit()), ...);
        return *this;
    }
    Row& inherit(SlotGroup group) {
        for (Slot s : group) slots_[s - 1] = datatype::inherit();
        return *this;
    }
    Row& inherit_all() {
        for (auto& h : slots_) h = datatype::inherit();
        return *this;
    }
    // Empties slots an inherited group brought in.
    template <Slot... S>
    Row& without() {
        ((slots_[S - 1] = nullptr), ...);
        return *this;
    }
    // The handler the registered type holds now for the slot, taken without
    // being the type's child.
    template <Slot S>
    Row& share(int32_t type) {
        slots_[S - 1] = datatype::handler(type, S);
        return *this;
    }
};

// Gives a registered type the handler of one slot, for the floors above
// datatypes/ that own what the handler does (file!'s and url!'s I/O lives
// in io/). A child copies its parent's row when it registers, so only a
// slot that no child inherits may be filled this way.
template <Slot S>
void fill(int32_t type, SlotFnT<S> fn) {
    datatype::set_handler(type, S, erased<S>(fn));
}

// Handlers are read in their slot's own type: lookup<slot_copy>(value)
// is a CopyFn, and calling it with another slot's arguments does not
// compile, as registering it through the wrong slot does not.

// The handler in the row of `type` for slot S; null when the row has none.
template <Slot S>
SlotFnT<S> handler(int32_t type) {
    return detail::restored<S>(datatype::handler(type, S));
}
template <class Fn>
Fn handler(int32_t type, SlotOf<Fn> slot) {
    return detail::restored(datatype::handler(type, slot), slot);
}

// The handler of `type` for the slot, or the error the language gives when
// the type has none (script expect-arg naming the action); `value` is the
// value the error names.
namespace detail {
datatype::Handler dispatch(int32_t type, const Cell* value, int32_t slot);
}
template <Slot S>
SlotFnT<S> lookup(int32_t type, const Cell* value) {
    return detail::restored<S>(detail::dispatch(type, value, S));
}
// The same for the value's own type.
template <Slot S>
SlotFnT<S> lookup(const Cell* value) {
    return lookup<S>(cell::type(value), value);
}
template <class Fn>
Fn lookup(int32_t type, const Cell* value, SlotOf<Fn> slot) {
    return detail::restored(detail::dispatch(type, value, slot), slot);
}
template <class Fn>
Fn lookup(const Cell* value, SlotOf<Fn> slot) {
    return lookup(cell::type(value), value, slot);
}

// The action's word, for reports (none for slots 7, 8 and 9).
Cell word(int32_t slot);
void fill_table();

// After a path set a field of a value held whole in its cell (a time, a
// date, a tuple...), tells the owner of the series that holds the value.
// Objects hear of it through their own path handler instead.
void field_set(const PathStep& step, const Cell* value);

// Twin workers.
int32_t call_form(const Cell* value, uint32_t buffer, bool part, int32_t limit);
int32_t call_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, bool part,
                  int32_t limit, int32_t indent);
// -1, 0 or 1, or not_comparable.
int32_t call_compare(const Cell* a, const Cell* b, int32_t op);
// The logic of a comparison operator; values that cannot be compared are
// unequal, and raise script invalid-compare for the ordering operators.
bool compare(const Cell* a, const Cell* b, int32_t op);
void call_copy(const Cell* value, Cell* result, const Cell* part, bool deep, const Cell* types);

// Convenience for C++ callers and tests: the formed or molded text as UTF-8.
std::string form_text(const Cell* value);
std::string mold_text(const Cell* value, bool all = false, bool flat = false);

}  // namespace vum::actions
