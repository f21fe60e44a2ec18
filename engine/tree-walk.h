// The tree walk's small steps that the evaluator's modules share (the
// interpreter, PARSE): reading a word's value, delivering a result, the end
// of a block being evaluated, a function context's storage guard.
#pragma once
#include <array>
#include <cstdint>

#include "memory/cell.h"
#include "memory/context.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::eval::walk {

// Every series read here holds cells: blocks, value storage, caches.
inline int32_t series_count(uint32_t node) { return int32_t(nodes::buffer(node)->cell_count()); }

inline bool is_function_type(uint8_t t) {
    return t == type_native || t == type_action || t == type_function || t == type_routine;
}

// The end of a block being evaluated is where the caller said or, when an
// evaluation has shortened the block since, its tail now: cells past it
// may belong to no one.
inline bool ended(const Cell* block, int32_t position, int32_t end) {
    return position >= end || position >= series_count(block->w2);
}

// Puts the expression's value where the caller wants it.
inline void deliver(const Cell& v, Cell* base, bool as_argument) {
    if (as_argument) {
        *base = v;
        stack::s.args_top = base + 1;
    } else {
        *stack::s.args = v;
        stack::s.args_top = stack::s.args + 1;
    }
}

// The value cell a bound word reads, or null when it has no storage now
// (an unbound word, a function's word outside a call of it).
inline Cell* peek_value(const Cell* w) {
    uint32_t ctx = w->w1;
    int32_t index = int32_t(w->w3);
    if (ctx == 0 || index < 0) return nullptr;
    Cell* c = context::context_cell(ctx);
    if (c->w2 == 0) return nullptr;
    if (c->header & cell::flag_stack_context) return stack::stack_context_slot(c->w2, index);
    if (index >= series_count(c->w2)) return nullptr;
    return series::cells_mut_untracked(c->w2) + index;  // value storage, never code
}

// The types that evaluate to themselves.
constexpr std::array<bool, 256> self_evaluating = [] {
    std::array<bool, 256> a{};
    a.fill(true);
    for (uint8_t t : {type_paren, type_word, type_set_word, type_lit_word, type_get_word, type_issue, type_native,
                      type_action, type_function, type_routine, type_op, type_path, type_get_path, type_lit_path,
                      type_set_path})
        a[t] = false;
    return a;
}();

// Restores a function context's value storage however the call ends: a
// non-local exit may leave the call stack cut above this frame.
class StorageGuard {
public:
    explicit StorageGuard(uint32_t ctx) : ctx_(ctx), saved_(context::context_cell(ctx)->w2) {}
    ~StorageGuard() { context::context_cell(ctx_)->w2 = saved_; }
    StorageGuard(const StorageGuard&) = delete;
    StorageGuard& operator=(const StorageGuard&) = delete;

private:
    uint32_t ctx_;
    uint32_t saved_;
};

}  // namespace vum::eval::walk
