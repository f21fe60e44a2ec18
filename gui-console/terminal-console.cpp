#include "gui-console/terminal-console.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/console-output.h"
#include "datatypes/actions.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "engine/interpreter.h"
#include "environment/source-runner.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum::console {

namespace {
constexpr int32_t default_width = 80;
constexpr char escape_char = 27;

void write(std::string_view text) { output::write_raw(text.data(), int32_t(text.size())); }
void write_line(std::string_view text) {
    std::string line(text);
    line += '\n';
    write(line);
}

// The category and id of an error as "category/id", read without molding.
std::string error_name(const Cell* error) {
    if (cell::type(error) != type_error) return "?";
    std::string name;
    for (error::Field f : {error::field_type, error::field_id}) {
        const Cell* word = error::field(error, f);
        if (!name.empty()) name += '/';
        name += word::is_any_word(cell::type(word)) ? symbols::text(int32_t(word->w2)) : "?";
    }
    return name;
}

// The report of an error. Forming it molds values the error carries, and
// that may raise in turn (a word whose text does not decode, say); the
// console must outlive any such error, so it then reports both plainly.
std::string report_of(const Cell* error) {
    Cell cells[2] = {*error, {}};  // the error, then one raised while reporting it
    gc::Protect keep(cells, 2);
    std::string text;
    bool ok = source::guarded("form", [&] {
        text = cell::type(&cells[0]) == type_error ? error::form_report(&cells[0]) : actions::mold_text(&cells[0]);
    }, &cells[1]);
    if (ok) return text;
    return "*** Error: " + error_name(&cells[0]) + " (its report raised " + error_name(&cells[1]) + ")";
}

// A run of '%' at i opens a raw string when a brace follows it and it starts
// a token; returns the index after the string's closing run, npos when the
// string is still open, or i + 1 when it is no raw string.
size_t skip_raw_string(std::string_view s, size_t i) {
    if (i > 0 && !std::strchr(" \t\r\n[]()\"{}", s[i - 1])) return i + 1;
    size_t p = i;
    while (p < s.size() && s[p] == '%') ++p;
    if (p >= s.size() || s[p] != '{') return i + 1;
    size_t percents = p - i;
    for (size_t q = p + 1; q < s.size(); ++q) {
        if (s[q] != '}') continue;
        size_t r = q + 1;
        while (r < s.size() && s[r] == '%') ++r;
        if (r - q - 1 >= percents) return r;  // a longer run is an error loading reports
    }
    return std::string_view::npos;
}

bool interactive() { return ::isatty(STDIN_FILENO) == 1; }

// The result after its marker, cut to the width; an error raised while
// forming it is printed instead.
void print_result(const Cell* value) {
    int32_t limit = width() - 3;
    Cell cells[2] = {*value, {}};  // the value, then an error while forming it
    gc::Protect keep(cells, 2);
    std::string text;
    bool is_float = cell::type(value) == type_float;
    bool ok = source::guarded(is_float ? "form" : "mold", [&] {
        uint32_t buffer = string::make(limit > 0 ? limit + 5 : 8);
        gc::ProtectNode keep_buffer(&buffer);
        int32_t part = limit > 0 ? limit + 5 : 5;
        if (is_float) actions::call_form(&cells[0], buffer, true, part);
        else actions::call_mold(&cells[0], buffer, false, false, false, true, part, 0);
        text = string::node_to_utf8(buffer);
    }, &cells[1]);
    if (!ok) {
        write_line(report_of(&cells[1]));
        return;
    }
    write_line(std::string(result_marker) + " " + cut_to_width(text, width()));
}

// A halt (the debugger's quit) is a throw named console that reaches the
// console uncaught: it ends the evaluation and is no error to report.
bool is_halt(const Cell* result) {
    if (cell::type(result) != type_error) return false;
    const Cell* type = error::field(result, error::field_type);
    const Cell* id = error::field(result, error::field_id);
    const Cell* value = error::field(result, error::field_arg1);
    auto spelled = [](const Cell* word, const char* text) {
        return word::is_any_word(cell::type(word)) && symbols::text(int32_t(word->w2)) == std::string_view(text);
    };
    return spelled(type, "throw") && spelled(id, "throw") && spelled(value, "halt-request");
}

// Loads and evaluates one complete input and prints what it gave. False
// when it did not load (the syntax error is reported).
bool do_command(const std::string& input) {
    Cell cells[2] = {};  // the code, then its result
    gc::Protect keep(cells, 2);
    if (!source::load(input, &cells[0])) {
        write_line(report_of(&cells[0]));
        return false;
    }
    if (block::length_from_head(&cells[0]) <= 0) return true;
    eval::evaluate_protected(&cells[0], &cells[1]);
    uint8_t type = cell::type(&cells[1]);
    if (type == type_unset) return true;
    if (is_halt(&cells[1])) {
        write_line("(halted)");
        return true;
    }
    if (type == type_error) {
        write_line(report_of(&cells[1]) + "\n");
        return true;
    }
    print_result(&cells[1]);
    return true;
}

// The whole of a regular file; false when it cannot be read.
bool read_file(const char* path, std::string* text) {
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char chunk[65536];
    while (ok) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text->append(chunk, size_t(n));
    }
    ::close(fd);
    return ok;
}

std::string file_text_error(const char* path) {
    Cell cells[2] = {string::from_utf8(path), {}};  // the file, then the error
    cell::set_type(&cells[0], type_file);
    gc::Protect keep(cells, 2);
    source::guarded("read", [&] { errors::raise(err::access::cannot_open, &cells[0]); }, &cells[1]);
    return report_of(&cells[1]);
}
}  // namespace

char open_delimiter(std::string_view s) {
    std::vector<char> open;
    size_t i = 0;
    const size_t n = s.size();
    while (i < n) {
        char c = s[i];
        switch (c) {
            case ';':
                while (i < n && s[i] != '\n') ++i;
                break;
            case '"':
                // One line at most, with ^ escapes; unclosed it cannot be mended.
                for (++i; i < n && s[i] != '"'; ++i) {
                    if (s[i] == '\n') return 0;
                    if (s[i] == '^') ++i;
                }
                if (i >= n) return 0;
                ++i;
                break;
            case '{': {
                int32_t depth = 1;
                for (++i; i < n; ++i) {
                    if (s[i] == '^') {
                        ++i;
                        continue;
                    }
                    if (s[i] == '{') ++depth;
                    if (s[i] == '}' && --depth == 0) break;
                }
                if (i >= n) return '{';
                ++i;
                break;
            }
            case '%':
                i = skip_raw_string(s, i);
                if (i == std::string_view::npos) return '{';
                break;
            case '[':
            case '(':
                open.push_back(c);
                ++i;
                break;
            case ']':
            case ')':
                if (open.empty() || open.back() != (c == ']' ? '[' : '(')) return 0;
                open.pop_back();
                ++i;
                break;
            default:
                ++i;
        }
    }
    return open.empty() ? 0 : open.back();
}

std::string cut_to_width(const std::string& text, int32_t width) {
    int32_t limit = width - 3;
    int32_t chars = 0;
    for (unsigned char b : text) chars += (b & 0xC0) != 0x80;
    if (chars <= limit) return text;
    int32_t keep = limit - int32_t(std::strlen(prompt)) - 1;
    if (keep < 0) keep = 0;
    size_t at = 0;
    for (int32_t seen = 0; at < text.size(); ++at) {
        if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && seen++ == keep) break;
    }
    return text.substr(0, at) + "...";
}

int32_t width() {
    static int32_t columns = [] {
        winsize ws{};
        if (::isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
            return int32_t(ws.ws_col);
        return default_width;
    }();
    return columns;
}

int run() {
    const bool echo = !interactive();
    std::string buffer;
    std::string cue;
    char* line = nullptr;
    size_t capacity = 0;
    while (true) {
        write(cue.empty() ? prompt : cue);
        ssize_t n = ::getline(&line, &capacity, stdin);
        if (n < 0) break;
        std::string_view text(line, size_t(n));
        if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        if (echo) write_line(text);
        if (text.empty() && buffer.empty()) continue;
        if (!text.empty() && text.back() == escape_char) {
            // Escape drops the whole open input.
            cue.clear();
            buffer.clear();
            write_line("(escape)");
            continue;
        }
        cue.clear();
        buffer.append(text);
        buffer += '\n';
        if (char open = open_delimiter(buffer)) {
            cue = std::string(1, open) + "    ";
            continue;
        }
        do_command(buffer);
        buffer.clear();
    }
    std::free(line);
    if (!echo || !buffer.empty()) write("\n");  // a fresh line after the prompt or cue
    // Input that ends inside an open block, paren or braced string leaves a
    // command that cannot run: loading it reports the delimiter missing, as
    // for a script, and the session ends with a script's failure status so a
    // caller piping input learns that its input was cut short. (The
    // completeness check is cautious; text it took for open may still load
    // and then runs as usual.)
    if (!buffer.empty() && !do_command(buffer)) return 1;
    return 0;
}

bool read_script(const char* path, std::string* text) {
    if (read_file(path, text)) return true;
    write_line(file_text_error(path));
    return false;
}

void report(const Cell* error) { write_line(report_of(error)); }

// Like a script run by do, a script given on the command line is
// preprocessed, from its header word on, before it runs. *result (stable)
// receives the error when the expansion fails.
bool expand_script(const Cell* code, Cell* result) {
    if (!source::load("expand-directives", result)) return false;
    gc::Local call(*result);
    block_actions::append_copy(&call, code);
    return !eval::evaluate_protected(&call, result);
}

int run_script_text(const std::string& text) {
    int64_t header = source::find_header(text);
    if (header < 0) {
        write_line("*** Error: Vum header not found!");
        return 1;
    }
    Cell cells[2] = {};  // the code, then its result
    gc::Protect keep(cells, 2);
    if (!source::load(std::string_view(text).substr(size_t(header)), &cells[0])) {
        write_line(report_of(&cells[0]));
        return 1;
    }
    gc::Local whole(cells[0]);
    switch (source::skip_header(&cells[0])) {
        case source::Header::found:
            break;
        case source::Header::system:
            write_line("*** Error: contains Vum/System code which requires compilation!");
            return 1;
        case source::Header::missing:
            write_line("*** Error: not a Vum program!");
            return 1;
    }
    // In place: the code after the header sees what the expansion made.
    if (!expand_script(&whole, &cells[1])) {
        write_line(report_of(&cells[1]));
        return 1;
    }
    if (eval::evaluate_protected(&cells[0], &cells[1])) {
        write_line(report_of(&cells[1]));
        return 1;
    }
    return 0;
}

}  // namespace vum::console
