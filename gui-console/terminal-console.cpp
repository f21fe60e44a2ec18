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
#include "datatypes/file-url.h"
#include "datatypes/function.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "datatypes/word.h"
#include "memory/call.h"
#include "engine/interpreter.h"
#include "environment/source-runner.h"
#include "gui-console/terminal-io.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"
#include "view/module-routines.h"

namespace vum::console {

namespace {

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


std::string file_text_error(const char* path) {
    Cell cells[2] = {file_url::from_local_path(path, int32_t(std::strlen(path))), {}};  // the file, the error
    cell::set_type(&cells[0], type_file);
    gc::Protect keep(cells, 2);
    source::guarded("read", [&] { errors::raise(err::access::cannot_open, &cells[0]); }, &cells[1]);
    return report_of(&cells[1]);
}
// str [string!]: the terminal's title, set through its escape. Control
// characters are left out: one would end the escape early and hand the
// rest of the title to the terminal as its own commands.
routines::MachineValue init_routine(const routines::MachineValue* args, int32_t) {
    std::string text = string::is_string_kind(cell::type(args[0].cell)) ? string::to_utf8(args[0].cell) : "";
    cell::make_unset(stack::result());
    if (::isatty(STDOUT_FILENO) != 1) return {.integer = 0};
    std::string title = "\x1B]0;";
    for (size_t i = 0; i < text.size(); i++) {
        auto byte = uint8_t(text[i]);
        if (byte < 0x20 || byte == 0x7F) continue;
        // U+0080 to U+009F, the C1 controls, among them another escape's start.
        if (byte == 0xC2 && i + 1 < text.size() && uint8_t(text[i + 1]) < 0xA0) {
            i++;
            continue;
        }
        title += char(byte);
    }
    title += '\a';
    write(title);
    return {.integer = 0};
}
}  // namespace

void register_console_routines() {
    terminal::register_terminal_routines();
    view::register_module_routines();
    routines::register_routine("console-init", init_routine);
}

namespace {
// Calls the console engine's function of that global word with no
// arguments; its error comes back in *result (false), not thrown.
bool call_engine(const char* name, Cell* result) {
    gc::Local word(context::load_word(name));
    gc::Local function(*word::value_address(&word));
    return call::Call(&function, &word).run_protected(result);
}
}  // namespace

// The engine's own words do the rest; quit ends the process.
int run() {
    gc::Local error(Cell{});
    if (call_engine("_run-terminal-console", &error)) return 0;
    write_line(report_of(&error));
    return 1;
}

void start() {
    gc::Local result(Cell{});
    call_engine("_start-terminal-console", &result);
}

namespace {
// A script's text as do reads one: CR LF and a lone CR become LF, so a
// braced string spanning lines holds the same text however it is run.
void unify_line_ends(std::string* text) {
    std::string out;
    out.reserve(text->size());
    for (size_t i = 0; i < text->size(); i++) {
        char c = (*text)[i];
        if (c != '\r') {
            out += c;
            continue;
        }
        out += '\n';
        if (i + 1 < text->size() && (*text)[i + 1] == '\n') i++;
    }
    text->swap(out);
}
}  // namespace

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

bool read_script(const char* path, std::string* text) {
    if (read_file(path, text)) {
        if (text->find('\r') != std::string::npos) unify_line_ends(text);
        return true;
    }
    write_line(file_text_error(path));
    return false;
}

void report(const Cell* error) { write_line(report_of(error)); }

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
    // Like a script run by do, it is preprocessed from its header word on,
    // in place, so the code after the header sees what the expansion made;
    // both run as the console runs typed code.
    gc::Local engine(context::load_word("terminal-console-ctx"));
    engine = *word::value_address(&engine);
    gc::Local name(context::load_word("run-script"));
    gc::Local function(*object_type::select_word(&engine, &name));
    if (!call::Call(&function, &name).arg(&whole).arg(&cells[0]).run_protected(&cells[1])) {
        write_line(report_of(&cells[1]));
        return 1;
    }
    return cell::type(&cells[1]) == type_integer ? cell::get_integer(&cells[1]) : 1;
}

}  // namespace vum::console
