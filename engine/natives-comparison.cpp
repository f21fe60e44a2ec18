// The comparison, set-operation and logic natives: equal? and its six
// siblings, same?, not, type?, union, intersect, unique, difference,
// exclude and complement?.
//
// The comparisons only choose an operator code and leave the meaning to the
// compare dispatch, so `lesser? 1 "a"` raises while `equal? 1 "a"` is
// false. The operators = <> == < > <= >= are op! values of natives 25 to
// 31, and the evaluator does their integer case inline (by native id, see
// register_comparison_natives): both roads must give the same answers.
//
// The set operations pick the worker by the first set's datatype; what a
// result holds, its order and how /case and /skip act are the workers'.
#include "datatypes/actions.h"
#include "datatypes/bitset.h"
#include "datatypes/block-search.h"
#include "datatypes/date.h"
#include "datatypes/logic.h"
#include "datatypes/native.h"
#include "datatypes/registry.h"
#include "datatypes/string-type.h"
#include "datatypes/typeset.h"
#include "engine/natives.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

using stack::arg;

// ------------------------------------------------------------ comparisons

template <int32_t Op>
void comparison_native(const int32_t*) {
    bool r = actions::compare(arg(0), arg(1), Op);
    cell::make_logic(arg(0), r);
}

// ------------------------------------------------------------ same?

bool same_words(const Cell* a, const Cell* b, bool w1, bool w2, bool w3) {
    return (!w1 || a->w1 == b->w1) && (!w2 || a->w2 == b->w2) && (!w3 || a->w3 == b->w3);
}

// Identity, decided on the cells alone: no action runs, except for the
// two types whose equality is their identity (tuple!, money!).
bool same_values(const Cell* a, const Cell* b) {
    uint8_t t = cell::type(a);
    if (t != cell::type(b)) return false;
    switch (t) {
        case type_none: case type_unset:
            return true;
        case type_datatype: case type_logic: case type_object:
            return same_words(a, b, true, false, false);
        case type_char: case type_integer: case type_bitset:
            return same_words(a, b, false, true, false);
        case type_block: case type_paren: case type_hash:
        case type_path: case type_lit_path: case type_set_path: case type_get_path:
        case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
        case type_binary: case type_vector: case type_image:
            return same_words(a, b, true, true, false);
        case type_float: case type_percent: case type_pair: case type_time:
            return same_words(a, b, false, true, true);
        case type_tuple: {
            if ((a->header & cell::tuple_length_mask) != (b->header & cell::tuple_length_mask)) return false;
            return actions::call_compare(a, b, actions::op_equal) == 0;
        }
        case type_money:
            // Equal amounts in the same currency (or both without one).
            return actions::call_compare(a, b, actions::op_same) == 0;
        case type_native: case type_action: case type_point2d:
            return same_words(a, b, true, true, false);
        case type_op:
            return same_words(a, b, false, true, true);
        default:
            return same_words(a, b, true, true, true);
    }
}

void same_native(const int32_t*) {
    bool r = same_values(arg(0), arg(1));
    cell::make_logic(arg(0), r);
}

// ------------------------------------------------------------ not, type?

void not_native(const int32_t*) {
    bool r = !logic::truthy(arg(0));
    cell::make_logic(arg(0), r);
}

void type_native(const int32_t* refinements) {
    uint8_t t = cell::type(arg(0));
    if (refinements[refine::type_q::word] < 0) {
        *arg(0) = {type_datatype, t, 0, 0};
        return;
    }
    const datatype::NameEntry& entry = datatype::names[t];
    if (cell::type(&entry.word) == type_word) {
        *arg(0) = entry.word;
        return;
    }
    // A name whose word the start-up has not made yet (or a type with no
    // name at all, which no value should have).
    *arg(0) = entry.name ? context::load_word(entry.name) : Cell{type_none, 0, 0, 0};
}

// ------------------------------------------------------------ errors

// The word the native was called by, for its reports.
Cell called_word(const char* fallback) {
    const stack::Frame* f = stack::current_frame();
    if (f && f->symbol > 0) return {type_word, 0, uint32_t(f->symbol), uint32_t(-1)};
    return context::load_word(fallback);
}

// script expect-arg: the native's word, the value's type, the parameter.
[[noreturn]] void expect_arg(const char* native, const Cell* value, const char* parameter) {
    Cell name = called_word(native);
    Cell type = {type_datatype, cell::type(value), 0, 0};
    Cell argument = context::load_word(parameter);
    errors::raise(err::script::expect_arg, &name, &type, &argument);
}

// ------------------------------------------------------------ complement?

// The complemented flag lives in the bitset's buffer.
void complement_q_native(const int32_t*) {
    if (cell::type(arg(0)) != type_bitset) expect_arg("complement?", arg(0), "bits");
    bool complemented = bitset::is_complemented(arg(0)->w2);
    cell::make_logic(arg(0), complemented);
}

// ------------------------------------------------------------ set operations

bool block_like(uint8_t t) { return t == type_block || t == type_hash; }

// union intersect unique difference exclude: /case /skip size.
static_assert(refine::intersect::case_ == refine::union_::case_ && refine::unique::case_ == refine::union_::case_ &&
              refine::difference::case_ == refine::union_::case_ && refine::exclude::case_ == refine::union_::case_ &&
              refine::intersect::skip == refine::union_::skip && refine::unique::skip == refine::union_::skip &&
              refine::difference::skip == refine::union_::skip && refine::exclude::skip == refine::union_::skip);
template <int32_t Op>
void set_operation_native(const int32_t* refinements) {
    static_assert(Op >= block_search::set_unique && Op <= block_search::set_difference);
    constexpr bool two = Op != block_search::set_unique;
    constexpr const char* names[] = {"unique", "union", "intersect", "exclude", "difference"};
    constexpr const char* native = names[Op - block_search::set_unique];
    const bool case_sensitive = refinements[refine::union_::case_] >= 0;
    const Cell* skip = refinements[refine::union_::skip] >= 0 ? arg(refinements[refine::union_::skip]) : nullptr;
    const uint8_t t1 = cell::type(arg(0));
    if (two) {
        uint8_t t2 = cell::type(arg(1));
        if (block_like(t1) ? !block_like(t2) : t1 != t2) {
            Cell expected = {type_datatype, t1, 0, 0};
            Cell given = {type_datatype, t2, 0, 0};
            errors::raise(err::script::expect_val, &expected, &given);
        }
    }
    switch (t1) {
        case type_block: case type_hash:
            block_search::set_operation_frame(case_sensitive, skip, block_search::SetOperation(Op));
            return;
        case type_string:
            string::set_operation(arg(0), two ? arg(1) : nullptr, skip, case_sensitive, string::SetOp(Op), arg(0));
            return;
        case type_typeset:
            if (two) {
                typeset::set_operation(Op);
                return;
            }
            break;
        case type_bitset:
            if (two) {
                bitset::do_math(Op);
                return;
            }
            break;
        case type_date:
            if (Op == block_search::set_difference) {
                date_type::difference(arg(0), arg(1), arg(0));
                return;
            }
            break;
        default:
            break;
    }
    expect_arg(native, arg(0), two ? "set1" : "set");
}

}  // namespace

void register_comparison_natives() {
    // Native ids against operator codes: the ids put greater? before
    // lesser-or-equal?, the codes the other way round.
    set_native(native::equal_q, comparison_native<actions::op_equal>);
    set_native(native::not_equal_q, comparison_native<actions::op_not_equal>);
    set_native(native::strict_equal_q, comparison_native<actions::op_strict_equal>);
    set_native(native::lesser_q, comparison_native<actions::op_lesser>);
    set_native(native::greater_q, comparison_native<actions::op_greater>);
    set_native(native::lesser_or_equal_q, comparison_native<actions::op_lesser_equal>);
    set_native(native::greater_or_equal_q, comparison_native<actions::op_greater_equal>);
    set_native(native::same_q, same_native);
    set_native(native::not_, not_native);
    set_native(native::type_q, type_native);
    set_native(native::union_, set_operation_native<block_search::set_union>);
    set_native(native::intersect, set_operation_native<block_search::set_intersect>);
    set_native(native::unique, set_operation_native<block_search::set_unique>);
    set_native(native::difference, set_operation_native<block_search::set_difference>);
    set_native(native::exclude, set_operation_native<block_search::set_exclude>);
    set_native(native::complement_q, complement_q_native);
}

}  // namespace vum::natives
