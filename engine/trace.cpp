// Trace events: the interpreter reports its steps to one callback function
// while a traced run is active. Everything here is behind one test of
// `trace::on`, so an untraced evaluation pays nothing more.
#include <cstring>

#include "base/system-throw.h"
#include "datatypes/function.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::trace {

bool on = false;
uint32_t mask = 0;
bool paused = false;

namespace {
// Reports switched off by `trace off`; kept apart from `on`, which the
// scopes of compiled code save and restore around the call that set it.
bool silenced = false;
// A switch takes effect when the expression that asked for it ends: that
// expression is reported as a whole while reports were on, and not at all
// while they were off, so no report mixes steps from before and after.
bool switch_pending = false;
bool silenced_next = false;

// False when the event is not to be reported because of a switch.
bool passes_switch(uint32_t event) {
    if (switch_pending && event == ev_expr) {
        bool was = silenced;
        silenced = silenced_next;
        switch_pending = false;
        return !was;
    }
    return !silenced;
}
}  // namespace

void CodeScope::enter(uint32_t block_node) {
    bool compiled = function::is_compiled_code(block_node);
    // Compiled code while traced pauses; other code while paused resumes.
    if (compiled != on) return;
    changed_ = true;
    saved_on_ = on;
    saved_paused_ = paused;
    on = !compiled;
    paused = compiled;
}

namespace {

constexpr const char* event_names[] = {"init",  "end",  "prolog", "epilog", "enter", "exit",
                                       "open",  "return", "fetch", "push",  "set",   "call",
                                       "error", "throw", "catch",  "expr"};
constexpr int32_t event_count = 16;

Cell callback{};  // kept as a root while a run is active
Cell event_words[event_count]{};
bool words_made = false;

void mark_callback() {
    if (cell::type(&callback) != 0) gc::mark_cells(&callback, &callback + 1);
}

void make_words() {
    if (words_made) return;
    for (int32_t i = 0; i < event_count; i++) event_words[i] = word::load(event_names[i]);
    gc::add_mark_callback(mark_callback);
    words_made = true;
}

int32_t bit_index(uint32_t event) {
    for (int32_t i = 0; i < event_count; i++)
        if (event == 1u << i) return i;
    return -1;
}

}  // namespace

uint32_t mask_from_words(const Cell* function) {
    make_words();
    if (cell::type(function) != type_function) return 0xFFFF;
    Cell body = series::cells_head(function->w3)[0];
    if (cell::type(&body) != type_block) return 0xFFFF;
    int32_t n = int32_t(nodes::buffer(body.w2)->count());
    if (int32_t(body.w1) >= n) return 0xFFFF;
    Cell first = series::cells_head(body.w2)[body.w1];
    if (cell::type(&first) != type_block) return 0xFFFF;
    uint32_t m = 0;
    int32_t count = int32_t(nodes::buffer(first.w2)->count());
    for (int32_t i = int32_t(first.w1); i < count; i++) {
        Cell w = series::cells_head(first.w2)[i];
        if (cell::type(&w) != type_word) continue;
        int32_t symbol = symbols::resolve(int32_t(w.w2));
        for (int32_t k = 0; k < event_count; k++)
            if (symbols::resolve(int32_t(event_words[k].w2)) == symbol) m |= 1u << k;
    }
    return m;
}

void fire(uint32_t event, const Cell* code, int32_t position, const Cell* value, const Cell* reference) {
    if (!on || !passes_switch(event) || !(mask & event)) return;
    int32_t k = bit_index(event);
    if (k < 0 || cell::type(&callback) == 0) return;
    Cell args[6];
    args[0] = event_words[k];
    if (code && cell::type(code) != 0) {
        args[1] = *code;
        int32_t n = int32_t(nodes::buffer(code->w2)->count());
        cell::make_integer(&args[2], position >= int32_t(code->w1) && position <= n ? position - int32_t(code->w1) : -1);
    } else {
        cell::make_none(&args[1]);
        cell::make_integer(&args[2], -1);
    }
    if (value && cell::type(value) != 0) args[3] = *value;
    else cell::make_none(&args[3]);
    bool keeps_reference = event == ev_set || event == ev_prolog || event == ev_epilog || event == ev_return ||
                           event == ev_call;
    if (keeps_reference && reference) args[4] = *reference;
    else cell::make_none(&args[4]);
    // The frame: the argument base and the stack top, as cell indexes.
    args[5] = {type_pair, 0, stack::index_of(stack::s.args), stack::index_of(stack::s.args_top)};
    gc::Protect keep(args, 6);
    gc::Local result(Cell{});
    on = false;
    struct Restore {
        ~Restore() { on = true; }
    } restore;
    call::Call call(&callback);
    for (const Cell& a : args) call.arg(&a);
    call.run(&result);
}

bool start(const Cell* function) {
    make_words();
    if (cell::type(&callback) != 0) return false;
    callback = *function;
    mask = mask_from_words(function);
    on = mask != 0;
    // Traced code runs in the walk: every compiled form hands over.
    series::bump_code_epoch();
    paused = false;
    silenced = switch_pending = false;
    fire(ev_init, nullptr, -1, nullptr, nullptr);
    return true;
}

void end() {
    silenced = switch_pending = false;
    fire(ev_end, nullptr, -1, nullptr, nullptr);
    on = false;
    paused = false;
    mask = 0;
    callback = Cell{};
}

bool running() { return cell::type(&callback) != 0; }

void set_reporting(bool reporting) {
    if (!running()) return;
    switch_pending = true;
    silenced_next = !reporting;
    if (reporting) series::bump_code_epoch();
}

}  // namespace vum::trace
