#include "engine/transcode-native.h"

#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "engine/lexer.h"
#include "generated/native-ids.h"
#include "memory/call.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/typed-access.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

Cell event_word(lexer::Event event) {
    using namespace runtime_symbols;
    switch (event) {
        case lexer::event_prescan: return words[word_prescan];
        case lexer::event_scan: return words[word_scan];
        case lexer::event_load: return words[word_load];
        case lexer::event_open: return words[word_open];
        case lexer::event_close: return words[word_close];
        default: return words[word_error];
    }
}

// The /part limit in source units: a count, or a position in a series of
// the source's own datatype; negative counts as nothing.
int32_t part_length(const Cell* source, const Cell* limit) {
    int32_t n;
    if (cell::type(limit) == type_integer) {
        n = cell::get_integer(limit);
    } else if (cell::type(limit) == cell::type(source)) {
        n = int32_t(limit->w1) - int32_t(source->w1);
    } else {
        errors::raise(err::script::not_same_type);
    }
    return n < 0 ? 0 : n;
}

// Calls the callback for one lexer event: event word, input at the
// event's place, type, line, token. The callback may move its input
// argument; the lexer goes on from there.
bool call_back(const Cell* callback, const Cell* source, lexer::Report& report) {
    Cell* args = stack::s.args_top;
    for (int i = 0; i < 5; ++i) cell::make_none(stack::push_cell());
    args[0] = event_word(report.event);
    args[1] = *source;
    args[1].w1 += uint32_t(report.position);
    args[1].header &= ~uint32_t(cell::flag_new_line);
    if (report.type > 0) args[2] = {type_datatype, uint32_t(report.type), 0, 0};
    else if (report.type == -lexer::kind_comment) args[2] = word::load("comment!");  // a kind without a datatype
    cell::make_integer(&args[3], report.line);
    if (report.value) {
        args[4] = *report.value;
        cell::clear_new_line(&args[4]);
    } else {
        args[4] = {type_pair, 0, uint32_t(report.start), uint32_t(report.end)};
    }
    Cell* result = stack::push_cell();
    cell::make_none(result);
    trace::Off untraced;
    {
        call::Call call(callback);
        for (int i = 0; i < 5; ++i) call.arg(args + i);
        call.run(result);
        // The callee's `input` (second argument) as it left it: a cell that
        // is not the source series at another index means the input stayed
        // where it was.
        const Cell* callee_input = call.argument_after(1);
        if (callee_input && cell::type(callee_input) == cell::type(source) && callee_input->w2 == source->w2 &&
            callee_input->w1 != args[1].w1) {
            int32_t moved = int32_t(callee_input->w1) - int32_t(source->w1);
            report.position = moved < 0 ? 0 : moved;
        }
    }
    bool answer = logic::truthy(result);
    stack::s.args_top = args;
    return answer;
}

}  // namespace

void transcode_native(const int32_t* refinements) {
    Cell* source = stack::arg(0);
    lexer::Options options;
    options.next = refinements[refine::transcode::next] >= 0;
    options.one = refinements[refine::transcode::one] >= 0;
    options.prescan = refinements[refine::transcode::prescan] >= 0;
    options.scan = refinements[refine::transcode::scan] >= 0;
    if (refinements[refine::transcode::part] >= 0)
        options.part = part_length(source, stack::arg(refinements[refine::transcode::part]));
    if (refinements[refine::transcode::into] >= 0) options.into = stack::arg(refinements[refine::transcode::into]);
    lexer::Watch watch;
    if (refinements[refine::transcode::trace] >= 0) {
        const Cell* callback = stack::arg(refinements[refine::transcode::trace]);
        watch.mask = lexer::mask_from_callback(callback);
        watch.fn = [callback, source](lexer::Report& report) { return call_back(callback, source, report); };
        options.trace = &watch;
    }
    Cell* result = stack::push_cell();
    cell::make_none(result);
    lexer::transcode(source, options, result);
    *stack::arg(0) = *result;
    stack::s.args_top = result;
}

}  // namespace vum::natives
