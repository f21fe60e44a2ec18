// The service and output natives: now, wait, the environment variables,
// stats, recycle, checksum, size?, browse, print and prin.
#include "engine/natives-service.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/console-output.h"
#include "base/hooks.h"
#include "base/os-services.h"
#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file-url.h"
#include "datatypes/map.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "datatypes/time.h"
#include "engine/interpreter.h"
#include "engine/natives.h"
#include "io/checksum.h"
#include "io/files.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/interrupt.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"
#include "platform/desktop-open.h"

namespace vum::natives {

void (*gui_pass)() = nullptr;

namespace {

bool used(const int32_t* refinements, int32_t k) { return refinements[k] >= 0; }

// A native without arguments finds its result slot above the stack's top:
// the slot is taken before anything is pushed or may collect.
Cell* claim_result_slot() {
    while (stack::s.args_top <= stack::s.args) cell::make_unset(stack::push_cell());
    return stack::arg(0);
}

int32_t last_newline_flag = 1;

// ---- Time ----

// The zone a date! keeps: whole quarter hours, as the packed date stores it.
int32_t quarter_hours(long offset_seconds) {
    int32_t minutes = int32_t(offset_seconds / 60);
    return minutes / 15 * 15;
}

// The date and the time come from a single reading of the clock, so that a
// call made at midnight cannot pair one day's date with the next day's time.
Moment read_clock(bool utc, bool precise) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return moment_at(int64_t(now.tv_sec), int64_t(now.tv_nsec), utc, precise);
}

void now_native(const int32_t* refinements) {
    int32_t selectors = 0;
    for (int32_t k = refine::now::year; k <= refine::now::precise; k++) selectors += used(refinements, k);
    bool time_precise =
        selectors == 2 && used(refinements, refine::now::time) && used(refinements, refine::now::precise);
    if (selectors > 1 && !time_precise) errors::raise(err::script::bad_refines);
    Moment m = read_clock(used(refinements, refine::now::utc), used(refinements, refine::now::precise));
    Cell* result = claim_result_slot();
    if (used(refinements, refine::now::year)) cell::make_integer(result, m.year);
    else if (used(refinements, refine::now::month)) cell::make_integer(result, m.month);
    else if (used(refinements, refine::now::day)) cell::make_integer(result, m.day);
    else if (used(refinements, refine::now::weekday)) cell::make_integer(result, m.weekday);
    else if (used(refinements, refine::now::yearday)) cell::make_integer(result, m.yearday);
    else if (used(refinements, refine::now::time)) time_type::make_at(result, m.time);
    else if (used(refinements, refine::now::zone)) time_type::make_at(result, m.zone_minutes * 60.0);
    else if (used(refinements, refine::now::date)) date_type::make_at(result, m.year, m.month, m.day, 0, 0, false);
    else date_type::make_at(result, m.year, m.month, m.day, m.time, m.zone_minutes, true);
}

void wait_native(const int32_t*) {
    Cell* value = stack::arg(0);
    double seconds = 0;
    switch (cell::type(value)) {
        case type_integer: seconds = double(cell::get_integer(value)); break;
        case type_float:
        case type_time: seconds = cell::get_double(value); break;
        default: errors::raise(err::script::invalid_arg, value);
    }
    cell::make_none(value);
    interrupt::sleep_polling(seconds);
    // Timers and repaints of a script that waits run here.
    if (gui_pass) gui_pass();
}

// ---- Environment variables ----

// A variable's name as UTF-8: a word's spelling, or the text from its
// position.
std::string text_of(const Cell* value) {
    if (string::is_text_kind(cell::type(value))) return string::to_utf8(value);
    int32_t length = 0;
    const char* spelling = symbols::text(int32_t(value->w2), &length);
    return std::string(spelling, size_t(length));
}

// No variable can have a name that is empty or holds '=' or NUL.
bool possible_name(const std::string& name) {
    return !name.empty() && name.find('=') == std::string::npos && name.find('\0') == std::string::npos;
}

void set_env_native(const int32_t*) {
    std::string name = text_of(stack::arg(0));
    if (!possible_name(name)) errors::raise(err::script::invalid_arg, stack::arg(0));
    const Cell* value = stack::arg(1);
    bool ok;
    if (cell::type(value) == type_none) {
        ok = platform::set_env(name.c_str(), nullptr);
    } else {
        std::string text = string::to_utf8(value);
        // The environment holds C strings: a NUL would silently cut the value.
        if (text.find('\0') != std::string::npos) errors::raise(err::script::invalid_arg, value);
        ok = platform::set_env(name.c_str(), text.c_str());
    }
    if (!ok) errors::raise(err::script::invalid_arg, stack::arg(0));
    *stack::arg(0) = *stack::arg(1);
}

void get_env_native(const int32_t*) {
    std::string name = text_of(stack::arg(0));
    Cell* result = stack::arg(0);
    int32_t needed = possible_name(name) ? platform::get_env(name.c_str(), nullptr, 0) : 0;
    if (needed < 1) {
        cell::make_none(result);
        return;
    }
    std::string value(size_t(needed), '\0');
    int32_t length = platform::get_env(name.c_str(), value.data(), needed);
    value.resize(size_t(length < 0 ? 0 : length));
    // Linux allows any bytes in a value: what is not UTF-8 is replaced, not refused.
    uint32_t node = string::make(int32_t(value.size()));
    gc::ProtectNode keep(&node);
    string::append_utf8(node, value.data(), int32_t(value.size()));
    cell::make_series(result, type_string, node);
}

// A string! of UTF-8 text (what is not UTF-8 is replaced).
Cell text_cell(const std::string& text) {
    uint32_t node = string::make(int32_t(text.size()));
    gc::ProtectNode keep(&node);
    string::append_utf8(node, text.data(), int32_t(text.size()));
    return {type_string, 0, node, 0};
}

// Every variable as a name and a value string, in a map!. An entry splits
// at its first "=" after its first character: a name may start with "=".
void list_env_native(const int32_t*) {
    Cell* result = claim_result_slot();
    std::vector<std::pair<std::string, std::string>> entries;
    for (char** e = environ; e && *e; e++) {
        std::string entry(*e);
        size_t at = entry.find('=', 1);
        if (at == std::string::npos) entries.emplace_back(entry, std::string());
        else entries.emplace_back(entry.substr(0, at), entry.substr(at + 1));
    }
    Cell* pairs = block_actions::push_new(int32_t(2 * entries.size()));
    Cell* text = stack::push_cell();
    for (const auto& [name, value] : entries) {
        *text = text_cell(name);
        block_actions::append_copy(pairs, text);
        *text = text_cell(value);
        block_actions::append_copy(pairs, text);
    }
    map_type::make_at(result, pairs, int32_t(entries.size()));
    stack::keep_result_only();
}

// ---- Memory ----

void set_bytes_in_use(Cell* result) {
    double bytes = memory::collect_stats(nullptr, 1);
    if (bytes > 2147483647.0) cell::make_float(result, bytes);
    else cell::make_integer(result, int32_t(bytes));
}

void stats_native(const int32_t* refinements) {
    const bool show = used(refinements, refine::stats::show);
    const bool info = used(refinements, refine::stats::info);
    Cell* result = claim_result_slot();
    if (!show && !info) {
        set_bytes_in_use(result);
        return;
    }
    block_actions::make_at(result, 5);
    memory::collect_stats(result, 2);
    if (!show) return;
    int32_t symbol = symbols::make("show-memory-stats");
    gc::Local name(context::make_global(symbol));
    const Cell* shower = context::global_value_address(symbol);
    uint8_t t = shower ? cell::type(shower) : uint8_t(type_unset);
    if (t != type_function && t != type_native && t != type_action && t != type_routine)
        errors::raise(err::script::no_value, &name);
    Cell* function = stack::push_copy(shower);
    Cell* discarded = cell::make_unset(stack::push_cell());
    call::Call(function, &name).arg(result).run(discarded);
    cell::make_unset(result);
}

void recycle_native(const int32_t* refinements) {
    const bool on = used(refinements, refine::recycle::on);
    const bool off = used(refinements, refine::recycle::off);
    claim_result_slot();
    if (on || off) {
        gc::state.enabled = off ? 0 : 1;
        cell::make_unset(stack::arg(0));
        return;
    }
    gc::collect();
    set_bytes_in_use(stack::arg(0));
}

// ---- Checksums ----

enum class Method { crc32, tcp, adler32, digest, hash };

struct MethodName {
    const char* spelling;
    Method method;
    checksum::Digest digest;
};

constexpr MethodName method_names[] = {
    {"tcp", Method::tcp, {}},
    {"md5", Method::digest, checksum::Digest::md5},
    {"sha1", Method::digest, checksum::Digest::sha1},
    {"crc32", Method::crc32, {}},
    {"adler32", Method::adler32, {}},
    {"sha256", Method::digest, checksum::Digest::sha256},
    {"sha384", Method::digest, checksum::Digest::sha384},
    {"sha512", Method::digest, checksum::Digest::sha512},
    {"hash", Method::hash, {}},
};

// Words match whatever their case.
std::optional<MethodName> method_of(const Cell* word) {
    int32_t length = 0;
    const char* spelling = symbols::text(int32_t(word->w2), &length);
    for (const MethodName& m : method_names)
        if (std::strlen(m.spelling) == size_t(length) && strncasecmp(m.spelling, spelling, size_t(length)) == 0)
            return m;
    return std::nullopt;
}


// The report names the word `with`, not the refinement, as checksum's own
// refusals always have.
[[noreturn]] void refuse_with(const Cell* spec) {
    gc::Local v(*spec);
    Cell word = context::load_word("with");
    errors::raise(err::script::invalid_refine_arg, &word, &v);
}

void checksum_native(const int32_t* refinements) {
    const Cell* data = stack::arg(0);
    const uint8_t data_type = cell::type(data);
    if (data_type != type_string && data_type != type_binary && data_type != type_file)
        errors::raise(err::script::invalid_arg, data);
    std::optional<MethodName> method = method_of(stack::arg(1));
    if (!method) errors::raise(err::script::invalid_arg, stack::arg(1));
    const bool with = used(refinements, refine::checksum::with);
    Cell none_given;
    cell::make_none(&none_given);
    const Cell* spec = with ? stack::arg(refinements[refine::checksum::with]) : &none_given;
    const uint8_t spec_type = cell::type(spec);
    Cell* result = stack::arg(0);
    // The bytes are copied out before anything allocates: nothing below
    // reads a series buffer again. A file is read whole.
    const std::string bytes = data_type == type_file ? files::read_bytes(data) : bytes_of(data);
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    switch (method->method) {
        case Method::crc32:
            if (with) refuse_with(spec);
            cell::make_integer(result, int32_t(checksum::crc32(in, bytes.size())));
            return;
        case Method::adler32:
            if (with) refuse_with(spec);
            cell::make_integer(result, int32_t(checksum::adler32(in, bytes.size())));
            return;
        case Method::tcp:
            if (with) refuse_with(spec);
            cell::make_integer(result, int32_t(checksum::internet(in, bytes.size())));
            return;
        case Method::hash:
            if (spec_type != type_integer) refuse_with(spec);
            print::value_line({print::Item::text("** /hash support not yet implemented; algorithm TBD.")});
            cell::make_integer(result, 0);
            return;
        case Method::digest: break;
    }
    std::string digest;
    if (!with) {
        digest = checksum::digest(method->digest, in, bytes.size());
    } else {
        if (spec_type != type_binary && !string::is_text_kind(spec_type)) refuse_with(spec);
        const std::string key = bytes_of(spec);
        digest = checksum::hmac(method->digest, reinterpret_cast<const uint8_t*>(key.data()), key.size(), in,
                                bytes.size());
    }
    Cell* made = binary::push_bytes(reinterpret_cast<const uint8_t*>(digest.data()), int32_t(digest.size()));
    *stack::arg(0) = *made;
    stack::keep_result_only();
}

// ---- Files ----

void size_native(const int32_t*) { files::size(stack::arg(0), stack::arg(0)); }

// A file goes as its absolute path (the opener could take a relative name
// such as "x:y" for a URL, and one starting with "-" for an option), a URL
// with its percent escapes.
std::string browse_target(const Cell* value) {
    gc::Local text(string::make_cell(64));
    if (cell::type(value) == type_file) {
        file_url::to_local_path(value, text.w2, true);
        return file_url::to_os_path(&text);
    }
    actions::call_mold(value, text.w2, false, false, false, false, -1, 0);
    return string::to_utf8(&text);
}

void browse_native(const int32_t*) {
    Cell* value = stack::arg(0);
    if (platform::open_on_desktop(browse_target(value)) != platform::OpenOutcome::opened)
        errors::raise(err::access::cannot_open, value);
    cell::make_unset(value);
}

// ---- Output ----

// A print that runs while another one reduces its block appends after the
// outer one's values; each cuts the block back to where it found it,
// whichever way it is left.
class ScratchCut {
public:
    ScratchCut(uint32_t node) : node_(node), at_(block_actions::buffer_length(node)) {}
    ~ScratchCut() {
        Cell block = {type_block, 0, node_, 0};
        block_actions::set_tail_at(&block, at_);
    }
    int32_t at() const { return at_; }
    ScratchCut(const ScratchCut&) = delete;
    ScratchCut& operator=(const ScratchCut&) = delete;

private:
    uint32_t node_;
    int32_t at_;
};

// Evaluates the block in the frame's first argument, appending each value
// to the scratch block, as reduce/into would.
void reduce_into(uint32_t scratch) {
    const Cell* block = stack::arg(0);
    int32_t position = int32_t(block->w1);
    int32_t tail = block_actions::buffer_length(block->w2);
    eval::Flags flags = eval::flag_as_argument;
    while (position < tail) {
        Cell* top = stack::s.args_top;
        position = eval::eval_expression(block, position, tail, flags);
        Cell* value = stack::s.args_top - 1;
        cell::clear_new_line(value);
        Cell* slot = series::alloc_tail_cell(scratch);
        *slot = *value;
        stack::s.args_top = top;
        // The evaluation may have shortened the block; what it appends is
        // not evaluated.
        tail = std::min(tail, block_actions::buffer_length(block->w2));
    }
}

// The text to print, into a new string! pushed on the stack.
Cell* form_pushed(const Cell* value) {
    Cell* text = cell::make_unset(stack::push_cell());
    uint32_t buffer = string::make(16);
    cell::make_series(text, type_string, buffer);
    actions::call_form(value, buffer, false, -1);
    return text;
}

void emit(int32_t newline) {
    stack::Mark mark;
    const Cell* text = stack::arg(0);
    if (cell::type(stack::arg(0)) == type_block) {
        uint32_t scratch = print_scratch();
        Cell* view = cell::make_unset(stack::push_cell());
        if (!scratch) {
            // Partial start-ups without a root block have no scratch block.
            block_actions::make_at(view, block_actions::length_from_head(stack::arg(0)));
            scratch = view->w2;
        }
        ScratchCut cut(scratch);
        reduce_into(scratch);
        cell::make_series(view, type_block, scratch, uint32_t(cut.at()));
        text = form_pushed(view);
    } else if (cell::type(stack::arg(0)) != type_string) {
        text = form_pushed(stack::arg(0));
    }
    if (hooks::value_hooks().count > 0) hooks::run_value(text, newline);
    else write_to_standard_output(text, newline);
    last_newline_flag = newline;
    mark.restore();
    cell::make_unset(stack::arg(0));
}

void print_native(const int32_t*) { emit(1); }
void prin_native(const int32_t*) { emit(0); }

}  // namespace

int32_t last_newline() { return last_newline_flag; }

Moment moment_at(int64_t seconds, int64_t nanoseconds, bool utc, bool precise) {
    time_t t = time_t(seconds);
    tm parts{};
    if (utc) {
        gmtime_r(&t, &parts);
    } else {
        // localtime_r alone keeps the zone it first read: a TZ set since
        // (set-env) would be ignored.
        tzset();
        localtime_r(&t, &parts);
    }
    Moment m{};
    m.year = parts.tm_year + 1900;
    m.month = parts.tm_mon + 1;
    m.day = parts.tm_mday;
    m.weekday = parts.tm_wday == 0 ? 7 : parts.tm_wday;
    m.yearday = parts.tm_yday + 1;
    m.zone_minutes = utc ? 0 : quarter_hours(parts.tm_gmtoff);
    m.time = double(parts.tm_hour * 3600 + parts.tm_min * 60 + parts.tm_sec);
    // The platform's precise clock counts in steps of 100 nanoseconds.
    if (precise) m.time += double(nanoseconds / 100) * 1e-7;
    return m;
}

void write_to_standard_output(const Cell* text, int32_t newline) {
    SeriesBuffer* buffer = nodes::buffer(text->w2);
    uint32_t unit = buffer->unit();
    int32_t count = int32_t(buffer->count());
    int32_t from = int32_t(text->w1);
    if (from > count) from = count;
    // Writing allocates no series: the buffer stays where it is.
    output::write_text(buffer->head_ptr() + uint32_t(from) * unit, (count - from) * int32_t(unit), int(unit),
                       newline != 0);
}

std::string bytes_of(const Cell* value) {
    if (cell::type(value) == type_binary) return binary::to_bytes(value);
    return string::to_utf8(value);
}

void register_service_natives() {
    set_native(native::print, print_native);
    set_native(native::prin, prin_native);
    set_native(native::stats, stats_native);
    set_native(native::wait, wait_native);
    set_native(native::set_env, set_env_native);
    set_native(native::get_env, get_env_native);
    set_native(native::list_env, list_env_native);
    set_native(native::now, now_native);
    set_native(native::recycle, recycle_native);
    set_native(native::checksum, checksum_native);
    set_native(native::size_q, size_native);
    set_native(native::browse, browse_native);
}

}  // namespace vum::natives
