#include "gui-console/terminal-io.h"

#include <fcntl.h>
#include <histedit.h>
#include <langinfo.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/console-output.h"
#include "datatypes/function.h"
#include "datatypes/pair.h"
#include "datatypes/string.h"
#include "environment/source-runner.h"
#include "gui-console/terminal-console.h"
#include "memory/call.h"
#include "memory/cell.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/interrupt.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/type-ids.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::terminal {

namespace {
using routines::MachineValue;

constexpr int32_t default_columns = 80;
constexpr int32_t default_rows = 25;

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

bool input_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }
bool output_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

// ---- Code points and UTF-8 ----

std::wstring widen(const std::string& text) {
    std::wstring out;
    auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) {
        int32_t code_point = 0;
        p = unicode::decode_utf8_char(p, end, &code_point);
        out += wchar_t(code_point < 0 ? 0xFFFD : code_point);
    }
    return out;
}

std::string narrow(const wchar_t* from, const wchar_t* to) {
    std::string out;
    for (; from < to; from++) {
        auto c = uint32_t(*from);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | c >> 18);
            out += char(0x80 | (c >> 12 & 0x3F));
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// ---- Waiting for a key ----
//
// Ctrl-C must end the wait for a key whatever thread the signal lands on,
// so the handlers only set a flag and write a byte into a pipe that the
// reader polls together with standard input. (A read merely interrupted by
// the signal is not enough: the signal may go to another thread, and a
// line editor may simply read again.)

int wake_pipe[2] = {-1, -1};
std::atomic<bool> resized{false};
// While a line is read, Ctrl-C is the reader's alone: the completion run
// from the editor must not halt (its halt could not cross the editor).
std::atomic<bool> reading{false};
std::atomic<bool> line_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void wake_reader() {
    int saved = errno;
    char byte = 0;
    if (wake_pipe[1] >= 0 && ::write(wake_pipe[1], &byte, 1) < 0) {
        // A full pipe already wakes the reader.
    }
    errno = saved;
}

// Ctrl-C asks the evaluator to halt, or ends the line being read.
void on_interrupt(int) {
    if (reading.load()) line_interrupted.store(true);
    else interrupt::requested.store(true);
    wake_reader();
}

void on_resize(int) {
    resized.store(true);
    wake_reader();
}

void drain_wake_pipe() {
    char sink[64];
    while (::read(wake_pipe[0], sink, sizeof sink) > 0) {
    }
}

// Once, when input comes from a terminal.
void catch_signals() {
    static bool done = false;
    if (done) return;
    done = true;
    if (::pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = wake_pipe[1] = -1;
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    // Without SA_RESTART, a system call that waits during an evaluation
    // returns at once and the evaluator sees the request.
    action.sa_handler = on_interrupt;
    ::sigaction(SIGINT, &action, nullptr);
    action.sa_handler = on_resize;
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &action, nullptr);
}

// Bytes of standard input read ahead, and one byte given back.
uint8_t input_bytes[4096];
size_t input_at = 0;
size_t input_filled = 0;
int given_back = -1;

bool bytes_waiting() { return given_back >= 0 || input_at < input_filled; }

enum class Got { byte, interrupt, end, nothing };

void (*resize_handler)() = nullptr;

// The next byte of standard input; waits at most wait_ms (-1: for ever).
Got next_byte(uint8_t* byte, int wait_ms) {
    if (given_back >= 0) {
        *byte = uint8_t(given_back);
        given_back = -1;
        return Got::byte;
    }
    if (input_at < input_filled) {
        *byte = input_bytes[input_at++];
        return Got::byte;
    }
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_pipe[0], POLLIN, 0}};
        int ready = ::poll(fds, wake_pipe[0] >= 0 ? 2 : 1, wait_ms);
        if (ready < 0 && errno != EINTR) return Got::end;
        if (ready > 0 && (fds[1].revents & POLLIN)) drain_wake_pipe();
        if (line_interrupted.exchange(false)) return Got::interrupt;
        if (resized.exchange(false) && resize_handler) resize_handler();
        if (ready > 0 && fds[0].revents) {
            ssize_t n = ::read(STDIN_FILENO, input_bytes, sizeof input_bytes);
            if (n > 0) {
                input_filled = size_t(n);
                input_at = 1;
                *byte = input_bytes[0];
                return Got::byte;
            }
            if (n == 0 || (errno != EINTR && errno != EAGAIN)) return Got::end;
        }
        if (ready == 0) return Got::nothing;
    }
}

// A read starts: a Ctrl-C that came during the evaluation before it has
// been dealt with there, and must neither drop the line about to be typed
// nor halt the next evaluation.
class Reading {
public:
    Reading() {
        reading.store(true);
        if (wake_pipe[0] >= 0) drain_wake_pipe();
        interrupt::requested.store(false);
        line_interrupted.store(false);
    }
    ~Reading() { reading.store(false); }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
};

// The rest of a UTF-8 sequence follows its lead byte at once when typed or
// pasted; a lone byte of another encoding must not wait for the next key.
constexpr int sequence_wait_ms = 200;
// An Escape key alone, rather than the start of a key's escape sequence, is
// an escape byte with nothing after it for this long.
constexpr int escape_wait_ms = 50;

int utf8_length(uint8_t lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

// The range of a sequence's second byte, by its lead: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool second_byte_fits(uint8_t lead, uint8_t b) {
    switch (lead) {
        case 0xE0: return b >= 0xA0 && b <= 0xBF;
        case 0xED: return b >= 0x80 && b <= 0x9F;
        case 0xF0: return b >= 0x90 && b <= 0xBF;
        case 0xF4: return b >= 0x80 && b <= 0x8F;
        default: return b >= 0x80 && b <= 0xBF;
    }
}

// One character from the bytes after `lead`. A sequence broken off gives one
// replacement character, and the byte that broke it is read again.
Got decode_char(uint8_t lead, wchar_t* out) {
    int length = utf8_length(lead);
    if (length == 1 || length == 0) {
        *out = length ? wchar_t(lead) : wchar_t(0xFFFD);
        return Got::byte;
    }
    uint32_t code_point = lead & (0x7F >> length);
    for (int i = 1; i < length; i++) {
        uint8_t b = 0;
        Got got = next_byte(&b, sequence_wait_ms);
        if (got == Got::interrupt) return got;
        bool fits = got == Got::byte && (i == 1 ? second_byte_fits(lead, b) : (b & 0xC0) == 0x80);
        if (!fits) {
            if (got == Got::byte) given_back = b;
            *out = wchar_t(0xFFFD);
            return Got::byte;
        }
        code_point = code_point << 6 | (b & 0x3F);
    }
    *out = wchar_t(code_point);
    return Got::byte;
}

// ---- The line editor ----

// How a line read at the editor ended, besides Enter.
enum class Ending { enter, interrupt, escape };
Ending ending = Ending::enter;

EditLine* editor = nullptr;
HistoryW* editor_history = nullptr;
std::wstring editor_prompt;

wchar_t* prompt_text(EditLine*) { return editor_prompt.data(); }

// Ctrl-C and a lone Escape end the line as Enter would (the line feed), and
// `ending` says which it was.
int read_char(EditLine*, wchar_t* out) {
    uint8_t b = 0;
    Got got = next_byte(&b, -1);
    if (got == Got::byte && b == 0x1B && !bytes_waiting()) {
        uint8_t next = 0;
        Got after = next_byte(&next, escape_wait_ms);
        if (after == Got::nothing) {
            ending = Ending::escape;
            *out = L'\n';
            return 1;
        }
        if (after == Got::byte) given_back = next;
        else got = after;
    }
    if (got == Got::byte) got = decode_char(b, out);
    if (got == Got::interrupt) {
        ending = Ending::interrupt;
        *out = L'\n';
        return 1;
    }
    return got == Got::byte ? 1 : 0;
}

// The line on screen stays as the terminal left it; the editor lays out
// what follows for the new width.
void refit_editor() { el_resize(editor); }

// Tab: the console's own completion (_terminal-complete in the front end)
// gives the line as it becomes, with its caret, and the choices to show.
struct Completion {
    std::string line;
    int32_t caret = 0;
    std::vector<std::string> choices;
};

std::optional<Completion> complete_line(const std::string& line, int32_t caret) {
    Cell* function = context::global_value_address(symbols::make("_terminal-complete"));
    if (!function || cell::type(function) != type_function) return std::nullopt;
    Cell cells[4] = {*function, string::from_utf8(line.c_str()), {}, {}};  // the function, the line, the result, an error
    gc::Protect keep(cells, 4);
    gc::Local name(context::load_word("_terminal-complete"));
    gc::Local at({});
    cell::make_integer(&at, caret);
    bool ok = source::guarded("complete", [&] { call::Call(&cells[0], &name).arg(&cells[1]).arg(&at).run(&cells[2]); },
                              &cells[3]);
    if (!ok || cell::type(&cells[2]) != type_block) return std::nullopt;
    uint32_t node = cells[2].w2;
    int32_t from = int32_t(cells[2].w1);
    int32_t count = int32_t(nodes::buffer(node)->count()) - from;
    if (count < 2) return std::nullopt;
    const Cell* first = series::cells_head(node) + from;
    if (!string::is_string_kind(cell::type(first)) || cell::type(first + 1) != type_integer) return std::nullopt;
    Completion c;
    c.line = string::to_utf8(first);
    c.caret = int32_t((first + 1)->w2);
    for (int32_t i = 2; i < count; i++) {
        const Cell* choice = series::cells_head(node) + from + i;
        if (string::is_string_kind(cell::type(choice))) c.choices.push_back(string::to_utf8(choice));
    }
    return c;
}

unsigned char complete_key(EditLine* e, int) {
    const LineInfoW* info = el_wline(e);
    std::string line = narrow(info->buffer, info->lastchar);
    auto before = int32_t(info->cursor - info->buffer);
    auto after = int32_t(info->lastchar - info->cursor);
    std::optional<Completion> c = complete_line(line, before);
    if (!c) return CC_REFRESH_BEEP;
    if (!c->choices.empty()) {
        std::string list = "\n";
        for (size_t i = 0; i < c->choices.size(); i++) list += (i ? " " : "") + c->choices[i];
        write(list + "\n");
        output::flush();
    }
    std::wstring now = widen(c->line);
    el_cursor(e, after);
    el_wdeletestr(e, before + after);
    el_winsertstr(e, now.c_str());
    el_cursor(e, c->caret - int32_t(now.size()));
    return c->choices.empty() ? CC_REFRESH : CC_REDISPLAY;
}

// Input is UTF-8 whatever the locale: the editor measures and shows
// characters by LC_CTYPE, so that must be a UTF-8 one.
void use_utf8_ctype() {
    const char* set = std::setlocale(LC_CTYPE, "");
    auto is_utf8 = [] {
        const char* codeset = nl_langinfo(CODESET);
        return codeset && (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
    };
    if (set && is_utf8()) return;
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
        if (std::setlocale(LC_CTYPE, name) && is_utf8()) return;
}

void start_editor() {
    use_utf8_ctype();
    editor = el_init("vum", stdin, stdout, stderr);
    editor_history = history_winit();
    el_wset(editor, EL_EDITOR, L"emacs");
    // The reader below handles Ctrl-C and resizing itself.
    el_wset(editor, EL_SIGNAL, 0);
    el_wset(editor, EL_GETCFN, read_char);
    el_wset(editor, EL_PROMPT, prompt_text);
    el_wset(editor, EL_HIST, history_w, editor_history);
    el_source(editor, nullptr);
    el_wset(editor, EL_ADDFN, L"vum-complete", L"Complete the word before the caret", complete_key);
    el_wset(editor, EL_BIND, L"^I", L"vum-complete", nullptr);
    // What read_char gives for Ctrl-C and Escape must end the line.
    el_wset(editor, EL_BIND, L"^J", L"ed-newline", nullptr);
    resize_handler = refit_editor;
}

enum class Outcome { line, end, interrupt };

// At a terminal the line is edited; Up and Down browse `history` (newest
// first). A line ended by Escape comes back with the escape character
// appended, as the console engine expects.
Outcome edit_line(const std::string& prompt, const std::vector<std::string>& history, std::string* line) {
    if (!editor) start_editor();
    HistEventW event;
    history_w(editor_history, &event, H_CLEAR);
    history_w(editor_history, &event, H_SETSIZE, int(history.size()) + 1);
    for (auto entry = history.rbegin(); entry != history.rend(); ++entry)
        history_w(editor_history, &event, H_ENTER, widen(*entry).c_str());
    editor_prompt = widen(prompt);
    output::flush();
    ending = Ending::enter;
    int count = 0;
    const wchar_t* text = el_wgets(editor, &count);
    if (ending == Ending::interrupt) return Outcome::interrupt;
    if (!text || count <= 0) {
        write("\n");  // a fresh line after the prompt
        return Outcome::end;
    }
    const wchar_t* end = text + count;
    if (end > text && end[-1] == L'\n') end--;
    *line = narrow(text, end);
    if (ending == Ending::escape) *line += '\x1B';
    return Outcome::line;
}

// A line from the terminal without the editor: hidden input (no echo), or
// output that goes elsewhere. The terminal's own line editing applies.
Outcome terminal_line(const std::string& prompt, bool hide, std::string* line) {
    write(prompt);
    output::flush();
    termios saved{};
    bool restore = hide && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (restore) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK);
        quiet.c_lflag |= ICANON | ISIG | ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string bytes;
    Got got;
    uint8_t b = 0;
    while ((got = next_byte(&b, -1)) == Got::byte && b != '\n') bytes += char(b);
    if (restore) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    if (got == Got::interrupt) {
        write("\n");
        return Outcome::interrupt;
    }
    if (got != Got::byte && bytes.empty()) {
        write("\n");
        return Outcome::end;
    }
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    *line = valid_utf8(bytes);
    return Outcome::line;
}

// A line from a pipe or a file, echoed after the prompt (hidden input is
// not shown).
Outcome piped_line(const std::string& prompt, bool hide, std::string* line) {
    write(prompt);
    output::flush();
    char* buffer = nullptr;
    size_t capacity = 0;
    ssize_t n = ::getline(&buffer, &capacity, stdin);
    if (n < 0) {
        std::free(buffer);
        write("\n");  // a fresh line after the prompt
        return Outcome::end;
    }
    std::string bytes(buffer, size_t(n));
    std::free(buffer);
    if (!bytes.empty() && bytes.back() == '\n') bytes.pop_back();
    if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
    write(hide ? "\n" : bytes + "\n");
    *line = valid_utf8(bytes);
    return Outcome::line;
}

// prompt [string!] hide [logic!] history [block! none!]: the line; none
// at the end of input; false when Ctrl-C dropped it.
MachineValue read_line_routine(const MachineValue* args, int32_t) {
    std::string prompt = string::is_string_kind(cell::type(args[0].cell)) ? string::to_utf8(args[0].cell) : "";
    bool hide = args[1].integer != 0;
    std::vector<std::string> history;
    if (const Cell* block = args[2].cell; cell::type(block) == type_block) {
        uint32_t node = block->w2;
        for (int32_t i = int32_t(block->w1); i < int32_t(nodes::buffer(node)->count()); i++) {
            const Cell* entry = series::cells_head(node) + i;
            if (string::is_string_kind(cell::type(entry))) history.push_back(string::to_utf8(entry));
        }
    }
    std::string line;
    Outcome outcome;
    if (input_is_terminal()) {
        catch_signals();
        Reading now;
        outcome = !hide && output_is_terminal() ? edit_line(prompt, history, &line) : terminal_line(prompt, hide, &line);
    } else {
        outcome = piped_line(prompt, hide, &line);
    }
    switch (outcome) {
        case Outcome::line: *stack::result() = string::from_utf8(line.c_str()); break;
        case Outcome::end: cell::make_none(stack::result()); break;
        case Outcome::interrupt: cell::make_logic(stack::result(), false); break;
    }
    return MachineValue{.integer = 0};
}

// The terminal's columns and rows when standard output is one, else 80x25.
MachineValue size_routine(const MachineValue*, int32_t) {
    winsize ws{};
    bool known = output_is_terminal() && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0;
    pair_type::make_at(stack::result(), known ? int32_t(ws.ws_col) : default_columns,
                  known && ws.ws_row > 0 ? int32_t(ws.ws_row) : default_rows);
    return MachineValue{.integer = 0};
}

MachineValue input_is_terminal_routine(const MachineValue*, int32_t) {
    return MachineValue{.integer = input_is_terminal() ? 1 : 0};
}

MachineValue editor_routine(const MachineValue*, int32_t) {
    return MachineValue{.integer = input_is_terminal() && output_is_terminal() ? 1 : 0};
}

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

// The history file's text, or none.
MachineValue history_text_routine(const MachineValue*, int32_t) {
    std::string path = history_path();
    std::string text;
    if (!path.empty() && console::read_file(path.c_str(), &text)) *stack::result() = string::from_utf8(valid_utf8(text).c_str());
    else cell::make_none(stack::result());
    return MachineValue{.integer = 0};
}

// A history entry as the lexer reads it back: a quoted string with the
// caret escapes.
void append_entry(std::string* text, const std::string& entry) {
    *text += '"';
    for (unsigned char c : entry) {
        if (c == '"' || c == '^') {
            *text += '^';
            *text += char(c);
        } else if (c == '\n') {
            *text += "^/";
        } else if (c == '\t') {
            *text += "^-";
        } else if (c < 0x20 || c == 0x7F) {
            static const char digits[] = "0123456789ABCDEF";
            *text += "^(";
            *text += digits[c >> 4];
            *text += digits[c & 15];
            *text += ')';
        } else {
            *text += char(c);
        }
    }
    *text += "\"\n";
}

// history [block!]: its strings become the history file, newest first,
// readable by its owner alone (typed lines may hold what others should not
// read). Written here rather than molded by the front end: it runs between
// Enter and the evaluation, where a Ctrl-C must find the evaluation.
MachineValue save_history_routine(const MachineValue* args, int32_t) {
    std::string text;
    const Cell* block = args[0].cell;
    uint32_t node = block->w2;
    for (int32_t i = int32_t(block->w1); i < int32_t(nodes::buffer(node)->count()); i++) {
        const Cell* entry = series::cells_head(node) + i;
        if (string::is_string_kind(cell::type(entry))) append_entry(&text, string::to_utf8(entry));
    }
    std::string path = history_path();
    if (path.empty()) return MachineValue{.integer = 0};
    std::string temporary = path + ".new";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return MachineValue{.integer = 0};
    const char* p = text.data();
    size_t left = text.size();
    bool ok = true;
    while (left > 0 && ok) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) {
            p += n;
            left -= size_t(n);
        }
    }
    ok = ::close(fd) == 0 && ok;
    // A history cut short by a full disc must not replace the whole one.
    if (ok) ::rename(temporary.c_str(), path.c_str());
    else ::unlink(temporary.c_str());
    return MachineValue{.integer = 0};
}
}  // namespace

void register_terminal_routines() {
    routines::register_routine("terminal-read-line", read_line_routine);
    routines::register_routine("terminal-size", size_routine);
    routines::register_routine("terminal-input?", input_is_terminal_routine);
    routines::register_routine("terminal-editor?", editor_routine);
    routines::register_routine("terminal-history-text", history_text_routine);
    routines::register_routine("terminal-save-history", save_history_routine);
}

}  // namespace vum::terminal
