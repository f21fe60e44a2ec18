#include "gui-console/terminal-io.h"

#include <editline/readline.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/console-output.h"
#include "datatypes/function.h"
#include "datatypes/string.h"
#include "engine/call.h"
#include "engine/interrupt.h"
#include "environment/source-runner.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/type-ids.h"
#include "memory/cell.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::terminal {

namespace {
constexpr int32_t default_columns = 80;

using routines::MachineValue;

// Bytes that are no UTF-8 (a terminal set to another encoding) become the
// replacement character: the line stays a string, and the lexer names it.
std::string valid_utf8(const std::string& bytes) {
    std::string out;
    auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint8_t* end = p + bytes.size();
    while (p < end) {
        int32_t code_point = 0;
        const uint8_t* next = unicode::decode_utf8_char(p, end, &code_point);
        if (code_point < 0) out += "\xEF\xBF\xBD";
        else out.append(reinterpret_cast<const char*>(p), size_t(next - p));
        p = next;
    }
    return out;
}

void write(const std::string& text) { output::write_raw(text.data(), int32_t(text.size())); }

// prompt [string!]: the line, or none at the end of input.
MachineValue read_line_routine(const MachineValue* args, int32_t) {
    std::string prompt = string::is_string_kind(cell::type(args[0].cell)) ? string::to_utf8(args[0].cell) : "";
    std::optional<std::string> line = read_line(prompt);
    if (line) *stack::result() = string::from_utf8(valid_utf8(*line).c_str());
    else cell::make_none(stack::result());
    return MachineValue{.integer = 0};
}

MachineValue columns_routine(const MachineValue*, int32_t) { return MachineValue{.integer = columns()}; }

MachineValue input_is_terminal_routine(const MachineValue*, int32_t) {
    return MachineValue{.integer = input_is_terminal() ? 1 : 0};
}
}  // namespace

void register_terminal_routines() {
    routines::register_routine("terminal-read-line", read_line_routine);
    routines::register_routine("terminal-columns", columns_routine);
    routines::register_routine("terminal-input?", input_is_terminal_routine);
}

bool input_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

int32_t columns() {
    winsize ws{};
    if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return int32_t(ws.ws_col);
    return default_columns;
}

namespace {
// The history file: $XDG_CONFIG_HOME/vum/history, or ~/.config/vum/history;
// empty when neither folder can be named.
std::string history_path() {
    std::string folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) folder = config;
    else if (const char* home = std::getenv("HOME"); home && *home) folder = std::string(home) + "/.config";
    else return {};
    ::mkdir(folder.c_str(), 0700);
    folder += "/vum";
    ::mkdir(folder.c_str(), 0700);
    return folder + "/history";
}

// At a terminal the line is edited through libedit, with the history kept
// across sessions; a line that repeats the newest entry is not stored again.
// Tab: the console's own completion (_terminal-complete in the front end)
// gives whole candidates for the word before the caret; libedit lists them
// and inserts what they share.
std::vector<std::string> candidates;

std::vector<std::string> complete_line(const std::string& line, int caret) {
    std::vector<std::string> out;
    Cell* function = context::global_value_address(symbols::make("_terminal-complete"));
    if (!function || cell::type(function) != type_function) return out;
    Cell cells[4] = {*function, string::from_utf8(line.c_str()), {}, {}};  // the function, the line, the result, an error
    gc::Protect keep(cells, 4);
    gc::Local name(context::load_word("_terminal-complete"));
    gc::Local at({});
    auto* bytes = reinterpret_cast<const uint8_t*>(line.data());
    cell::make_integer(&at, unicode::count_utf8_chars(bytes, bytes + caret));
    bool ok = source::guarded("complete", [&] { call::Call(&cells[0], &name).arg(&cells[1]).arg(&at).run(&cells[2]); },
                              &cells[3]);
    if (!ok || cell::type(&cells[2]) != type_block) return out;
    for (int32_t i = int32_t(cells[2].w1); i < int32_t(nodes::buffer(cells[2].w2)->count()); i++) {
        const Cell* c = series::cells_head(cells[2].w2) + i;
        if (string::is_string_kind(cell::type(c))) out.push_back(string::to_utf8(c));
    }
    return out;
}

char* next_candidate(const char*, int state) {
    static size_t at = 0;
    if (state == 0) at = 0;
    if (at >= candidates.size()) return nullptr;
    return ::strdup(candidates[at++].c_str());
}

// The word libedit hands over is the one the console completes: they break
// words at the same characters. (libedit's rl_line_buffer may be stale here.)
char** complete(const char* text, int, int) {
    rl_attempted_completion_over = 1;
    std::string word(text);
    candidates = complete_line(word, int(word.size()));
    if (candidates.empty()) return nullptr;
    return rl_completion_matches(text, next_candidate);
}

void on_interrupt(int) { interrupt::requested.store(true); }

// Ctrl-C asks the evaluator to halt; without SA_RESTART a read waiting for
// input returns at once.
void catch_interrupts() {
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
}

std::optional<std::string> edit_line(const std::string& prompt) {
    static const std::string path = [] {
        catch_interrupts();
        // The console's word delimiters.
        rl_basic_word_break_characters = const_cast<char*>(" \t[(:'{");
        rl_attempted_completion_function = complete;
        std::string p = history_path();
        using_history();
        if (!p.empty()) read_history(p.c_str());
        return p;
    }();
    output::flush();
    char* text = nullptr;
    for (;;) {
        interrupt::requested.store(false);
        text = readline(prompt.c_str());
        // Ctrl-C at the prompt drops the line typed and asks again; it
        // leaves no halt pending for the next input.
        bool interrupted = interrupt::requested.exchange(false);
        if (text || !interrupted) break;
        write("\n");
        output::flush();
    }
    if (!text) {
        write("\n");  // a fresh line after the prompt
        return std::nullopt;
    }
    std::string line(text);
    std::free(text);
    HIST_ENTRY* newest = history_length > 0 ? history_get(history_base + history_length - 1) : nullptr;
    if (!line.empty() && (!newest || line != newest->line)) {
        add_history(line.c_str());
        if (!path.empty()) write_history(path.c_str());
    }
    return line;
}

}  // namespace

std::optional<std::string> read_line(const std::string& prompt) {
    if (input_is_terminal() && ::isatty(STDOUT_FILENO) == 1) return edit_line(prompt);
    write(prompt);
    output::flush();
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t n = ::getline(&buffer, &capacity, stdin);
    if (n < 0) {
        std::free(buffer);
        write("\n");  // a fresh line after the prompt
        return std::nullopt;
    }
    std::string line(buffer, size_t(n));
    std::free(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!input_is_terminal()) write(line + "\n");
    return line;
}

}  // namespace vum::terminal
