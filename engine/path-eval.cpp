// Path evaluation: the first word's value starts the walk, and each further
// element selects into the current value through its datatype's path
// handler. A function met on the way is called with the rest of the path as
// its refinements.
#include "base/system-throw.h"
#include "datatypes/actions.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::eval {

namespace {

inline bool is_function_type(uint8_t t) {
    return t == type_native || t == type_action || t == type_function || t == type_routine;
}

inline Cell cell_at(uint32_t node, int32_t i) { return series::cells_head(node)[i]; }

[[noreturn]] void raise_script(err::Script id, const Cell* a = nullptr, const Cell* b = nullptr,
                               const Cell* c = nullptr) {
    errors::raise(id, a, b, c);
}

// The path up to and including element i, for reports.
Cell path_through(const Cell* path, int32_t i) {
    int32_t head = int32_t(path->w1);
    uint32_t node = series::copy_part(path->w2, head, i - head + 1);
    return {type_path, 0, node, 0};
}

// Values held whole in their cell: a path that sets one of their fields
// changes a copy, which must go back where the value came from.
bool is_immediate(uint8_t t) {
    switch (t) {
        case type_time:
        case type_date:
        case type_tuple:
        case type_pair:
        case type_point2d:
        case type_point3d:
        case type_money:
        case type_triple:
        case type_event:
            return true;
        default:
            return false;
    }
}

// Stores the updated value of step `k` back into step k - 1's value by that
// step's selector (or into the first word for step 0), and on outward while
// the containers are immediate values too.
void store_back(const Cell* path, Cell* levels, int32_t k, Cell* updated) {
    gc::Local value(*updated);
    for (; k > 0; k--) {
        Cell* container = levels + 2 * (k - 1);
        Cell* selector = container + 1;
        auto handler = actions::handler<actions::slot_eval_path>(cell::type(container));
        actions::PathStep step{};
        step.parent = container;
        step.element = selector;
        step.value = &value;
        step.path = path;
        step.index = -1;
        step.last = true;
        gc::Local result(Cell{});
        handler(step, &result);
        if (!is_immediate(cell::type(container))) return;
        value = *container;
    }
    Cell first = cell_at(path->w2, int32_t(path->w1));
    context::set_word_value(&first, &value);
}

// A function met on the walk is called with the rest of the path as its
// refinements; its result is the path's, pushed where the walk started.
int32_t call_in_path(const Cell* function, const Cell* name, const Cell* block, int32_t position, int32_t end,
                     const Cell* path, int32_t refinements_from, Cell* top0) {
    // A path that names no refinements after the function calls it plainly.
    if (refinements_from < int32_t(nodes::buffer(path->w2)->count())) {
        CallSite call = call_at(function, block, position, end, name, true);
        call.path = path;
        call.path_index = refinements_from;
        position = call_function(call);
    } else if (word::is_any_word(cell::type(name))) {
        position = call_plain(function, name, block, position, end, true);
    } else {
        position = call_function(call_at(function, block, position, end, name, true));
    }
    Cell result = stack::s.args_top[-1];
    if (trace::on) trace::fire(trace::ev_exit, path, int32_t(nodes::buffer(path->w2)->count()), &result, nullptr);
    stack::s.args_top = top0;
    *stack::push_cell() = result;
    return position;
}

}  // namespace

int32_t eval_path(const Cell* block, int32_t position, int32_t end, const Cell* path, PathMode mode,
                  bool as_argument) {
    (void)as_argument;
    // The usual read of an object's field, word/word: the field's value,
    // or its function called. Anything unusual (an absent field, another
    // kind of value) takes the full walk, which reports it.
    if (mode == PathMode::read && !trace::on) {
        uint32_t elements = path->w2;
        int32_t at = int32_t(path->w1);
        if (int32_t(nodes::buffer(elements)->count()) - at == 2) {
            const Cell* first = series::cells_head(elements) + at;
            const Cell* element = first + 1;
            if (cell::type(first) == type_word && cell::type(element) == type_word) {
                const Cell* object = word::value_address(first);
                Cell field;
                if (cell::type(object) == type_object && object_type::read_field(object, element, &field)) {
                    Cell* top0 = stack::s.args_top;
                    if (!is_function_type(cell::type(&field))) {
                        *stack::push_cell() = field;
                        return position;
                    }
                    Cell name = *element;
                    Cell* function = stack::push_copy(&field);
                    stack::push_copy(&name);
                    return call_in_path(function, top0 + 1, block, position, end, path, at + 2, top0);
                }
            }
        }
    }
    // Everything the walk holds lives in stack cells: the path, the value
    // to set, the current value, its parent, the previous element and the
    // selector.
    Cell* top0 = stack::s.args_top;
    Cell* p = stack::push_copy(path);
    Cell* set_value = stack::push_cell();
    if (mode == PathMode::set) *set_value = top0[-1];
    else cell::make_none(set_value);
    Cell* current = stack::push_cell();
    Cell* parent = stack::push_cell();
    Cell* previous = stack::push_cell();
    Cell* selector = stack::push_cell();
    cell::make_none(parent);

    int32_t head = int32_t(p->w1);
    int32_t n = int32_t(nodes::buffer(p->w2)->count());
    if (head >= n) raise_script(err::script::empty_path);
    Cell first = cell_at(p->w2, head);
    if (cell::type(&first) != type_word) raise_script(err::script::word_first, p);
    *previous = first;
    if (trace::on) {
        trace::fire(trace::ev_enter, p, head, nullptr, nullptr);
        trace::fire(trace::ev_fetch, p, head, &first, nullptr);
    }
    *current = *word::value_address(&first);
    if (cell::type(current) == type_unset) raise_script(err::script::unset_path, p, &first);

    if (is_function_type(cell::type(current))) {
        if (mode == PathMode::set) raise_script(err::script::invalid_path_set, p);
        if (mode == PathMode::get) raise_script(err::script::invalid_path_get, p);
        return call_in_path(current, previous, block, position, end, p, head + 1, top0);
    }
    if (trace::on) trace::fire(trace::ev_push, nullptr, -1, current, nullptr);

    // Each step's parent and selector, kept for storing an updated
    // immediate value (a time, a date...) back where it came from.
    Cell* levels = stack::s.args_top;
    for (int32_t i = head + 1; i < n; i++) {
        Cell element = cell_at(p->w2, i);
        if (trace::on) trace::fire(trace::ev_fetch, p, i, &element, nullptr);
        switch (cell::type(&element)) {
            case type_get_word:
                *selector = *word::value_address(&element);
                break;
            case type_paren: {
                Cell* before = stack::s.args_top;
                eval_block(&element, false);
                *selector = stack::s.args_top[-1];
                stack::s.args_top = before;
                break;
            }
            default:
                *selector = element;
        }
        if (trace::on) trace::fire(trace::ev_push, nullptr, -1, selector, nullptr);
        if (cell::type(selector) == type_unset) raise_script(err::script::invalid_path, p, &element);
        bool last = i == n - 1;
        auto handler = actions::handler<actions::slot_eval_path>(cell::type(current));
        if (!handler) {
            gc::Local cut(path_through(p, i - 1));
            Cell type = {type_datatype, cell::type(current), 0, 0};
            raise_script(err::script::bad_path_type, &cut, &type, &element);
        }
        actions::PathStep step{};
        step.parent = current;
        step.element = selector;
        step.value = mode == PathMode::set && last ? set_value : nullptr;
        step.path = p;
        step.container = parent;
        step.previous = previous;
        step.index = i;
        step.last = last;
        Cell* result = stack::push_cell();
        cell::make_none(result);
        handler(step, result);
        Cell r = *result;
        stack::s.args_top = result;
        if (mode == PathMode::set && last && is_immediate(cell::type(current))) {
            store_back(p, levels, i - head - 1, current);
            break;
        }
        *stack::push_cell() = *current;
        *stack::push_cell() = *selector;
        if (is_function_type(cell::type(&r)) && mode == PathMode::read) {
            *current = r;
            return call_in_path(current, &element, block, position, end, p, i + 1, top0);
        }
        *parent = *current;
        *current = r;
        *previous = element;
    }
    Cell result = mode == PathMode::set ? *set_value : *current;
    if (trace::on) trace::fire(trace::ev_exit, p, n, &result, nullptr);
    stack::s.args_top = top0;
    *stack::push_cell() = result;
    return position;
}

void path_value(const Cell* path, const Cell* value, bool case_sensitive, Cell* result) {
    (void)case_sensitive;
    Cell* top0 = stack::s.args_top;
    Cell* p = stack::push_copy(path);
    cell::set_type(p, type_path);
    if (value) stack::push_copy(value);
    eval_path(nullptr, 0, 0, p, value ? PathMode::set : PathMode::get, true);
    *result = stack::s.args_top[-1];
    stack::s.args_top = top0;
}

}  // namespace vum::eval
