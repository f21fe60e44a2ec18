// call: runs another program (io/process-call), its standard streams fed
// from and collected into language values.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "datatypes/binary.h"
#include "datatypes/file-url.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "engine/natives.h"
#include "io/process-call.h"
#include "memory/cell.h"
#include "memory/interrupt.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

// A redirection's argument, or null when its refinement is not used or it
// is none.
Cell* redirection(const int32_t* refinements, int32_t k) {
    if (refinements[k] < 0) return nullptr;
    Cell* value = stack::arg(refinements[k]);
    return cell::type(value) == type_none ? nullptr : value;
}

// A string goes as its UTF-8 from its position, its line ends as they are;
// a binary as its bytes from its position; a file is read by the child.
process::Source source_of(const Cell* in) {
    process::Source source;
    if (!in) return source;
    switch (cell::type(in)) {
        case type_string:
            source.kind = process::Source::bytes;
            source.data = string::to_utf8(in);
            break;
        case type_binary:
            source.kind = process::Source::bytes;
            source.data = binary::to_bytes(in);
            break;
        case type_file:
            source.kind = process::Source::file;
            source.data = file_url::to_os_path(in);
            break;
        default: errors::raise(err::script::invalid_arg, in);
    }
    return source;
}

// Strings and binaries collect what the child writes; a file receives it
// at its end.
process::Sink sink_of(const Cell* out) {
    process::Sink sink;
    if (!out) return sink;
    switch (cell::type(out)) {
        case type_string:
        case type_binary: sink.kind = process::Sink::collect; break;
        case type_file:
            sink.kind = process::Sink::file;
            sink.path = file_url::to_os_path(out);
            break;
        default: errors::raise(err::script::invalid_arg, out);
    }
    return sink;
}

// A file! names the program alone, spaces and all, as a path: a bare name
// is a file of the current directory, not one to look for along PATH.
std::string command_of(const Cell* cmd) {
    if (cell::type(cmd) == type_file) {
        std::string path = file_url::to_os_path(cmd);
        if (path.find('/') == std::string::npos) path.insert(0, "./");
        return process::quote_word(path);
    }
    std::string line = string::to_utf8(cmd);
    // The system takes the line as a C string: a NUL would cut it short.
    if (line.find('\0') != std::string::npos) errors::raise(err::script::invalid_arg, cmd);
    return line;
}

// Appends UTF-8 text to a string's buffer in one reservation, the buffer
// widened once to the widest character; what is not UTF-8 is replaced.
void append_text(uint32_t node, const std::string& text) {
    const auto* begin = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = begin + text.size();
    int64_t count = 0;
    uint32_t widest = 1;
    for (const uint8_t* p = begin; p < end; count++) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        widest = std::max(widest, string::append_unit(cp < 0 ? 0xFFFD : uint32_t(cp)));
    }
    uint32_t unit = string::widen_to_unit(node, widest)->unit();
    if (count * unit > cell::max_series_bytes) errors::raise(err::script::too_long);
    uint8_t* at = series::alloc_tail_bytes(node, int32_t(count * unit));
    uint32_t i = 0;
    for (const uint8_t* p = begin; p < end; i++) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        unicode::put_unit(at, unit, i, cp < 0 ? 0xFFFD : uint32_t(cp));
    }
}

// What the child wrote, appended at the target's tail: a binary takes the
// bytes, a string the text.
void deliver(const Cell* target, std::string& bytes) {
    if (!target || cell::type(target) == type_file) return;
    if (cell::type(target) == type_binary) {
        binary::append_bytes_raw(target->w2, reinterpret_cast<const uint8_t*>(bytes.data()),
                                 int32_t(bytes.size()));
        return;
    }
    process::normalise_lines(bytes);
    append_text(target->w2, bytes);
}

void call_native(const int32_t* refinements) {
    Cell* cmd = stack::arg(0);
    if (string::length_from_head(cmd) == 0) {
        cell::make_integer(cmd, 0);
        return;
    }
    // There is no console to hand the child's streams to yet.
    if (refinements[refine::call::console] >= 0) errors::raise(err::internal::not_done);
    const Cell* in = redirection(refinements, refine::call::input);
    const Cell* out = redirection(refinements, refine::call::output);
    const Cell* err = redirection(refinements, refine::call::error);

    process::Request request;
    request.command = command_of(cmd);
    request.wait = refinements[refine::call::wait] >= 0;
    // There are no windows to show or hide: /show has nothing to do.
    request.shell = refinements[refine::call::shell] >= 0;
    request.input = source_of(in);
    request.output = sink_of(out);
    request.error = sink_of(err);
    request.collect_limit = size_t(cell::max_series_bytes);
    request.cancel = &interrupt::requested;

    process::Outcome outcome = process::run(request);
    // The child is gone and reaped: the interrupt that stopped it halts.
    // A terminal's Ctrl-C reaches the child too, which may die of it before
    // our own handler has run (it runs on whichever thread the kernel
    // picks): a child ended by SIGINT gives that signal a moment to arrive.
    if (request.wait && outcome.result == 128 + SIGINT)
        for (int i = 0; i < 50 && !interrupt::requested.load(); i++) ::usleep(5000);
    interrupt::poll();
    if (outcome.output_cut || outcome.error_cut) errors::raise(err::script::too_long);
    deliver(out, outcome.output);
    deliver(err, outcome.error);
    cell::make_integer(stack::arg(0), outcome.result);
}

}  // namespace

void register_process_natives() { set_native(native::call, call_native); }

}  // namespace vum::natives
