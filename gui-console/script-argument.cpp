#include "gui-console/script-argument.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/console-output.h"
#include "datatypes/file-url.h"
#include "datatypes/string.h"
#include "environment/source-runner.h"
#include "environment/system-object.h"
#include "gui-console/terminal-console.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::console {

namespace {

const char* const usage = "Usage: vum [--catch] [--] [script [argument ...]]";

bool is_white(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t skip_white(std::string_view s, size_t at) {
    while (at < s.size() && is_white(s[at])) at++;
    return at;
}

size_t white_from(std::string_view s, size_t at) {
    while (at < s.size() && !is_white(s[at])) at++;
    return at;
}

// Past the closing double quote of a run that opens at `at`.
size_t past_quoted(std::string_view s, size_t at) {
    size_t close = s.find('"', at + 1);
    return close == std::string_view::npos ? s.size() : close + 1;
}

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::vector<std::string> strings_of(const Cell* block) {
    std::vector<std::string> out;
    for (int32_t i = int32_t(block->w1); i < int32_t(nodes::buffer(block->w2)->count()); i++) {
        const Cell* c = series::cells_head(block->w2) + i;
        out.push_back(string::is_string_kind(cell::type(c)) ? file_url::to_os_path(c) : std::string());
    }
    return out;
}

// remove/part: the first count values of the series go, in place.
void remove_part(const Cell* series, int32_t count) {
    gc::Local function(*context::global_value_address(symbols::make("remove")));
    gc::Local name(context::load_word("remove"));
    gc::Local n({});
    cell::make_integer(&n, count);
    gc::Local result({});
    call::Call(&function, &name).arg(series).refine("part", {&n}).run(&result);
}

// The script's own arguments only, in both forms; its file; its folder as
// the current directory.
void take_script(const Cell* args, int32_t script_place, const std::string& path) {
    remove_part(args, script_place + 1);

    Cell* raw_field = system_object::field({"script", "args"});
    if (raw_field && cell::type(raw_field) == type_string) {
        gc::Local raw(*raw_field);
        std::string text = file_url::to_os_path(&raw);
        size_t cut = script_arguments_start(text);
        gc::Local before(file_url::from_local_path(text.data(), int32_t(cut)));
        remove_part(&raw, string::length(before.w2));
    }

    gc::Local file(file_url::from_local_path(path.data(), int32_t(path.size())));
    cell::set_type(&file, type_file);
    system_object::set_field({"options", "script"}, &file, true);

    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "./" : path.substr(0, slash + 1);
    if (folder == "./") return;
    char absolute[PATH_MAX];
    if (!realpath(folder.c_str(), absolute)) return;  // the script was read: its folder exists
    std::string dir = absolute;
    if (dir.back() != '/') dir += '/';
    gc::Local dir_file(file_url::from_local_path(dir.data(), int32_t(dir.size())));
    cell::set_type(&dir_file, type_file);
    system_object::set_field({"options", "path"}, &dir_file, true);
}

}  // namespace

size_t script_arguments_start(std::string_view raw) {
    size_t at = skip_white(raw, 0);
    for (;;) {
        size_t end;
        if (starts_with(raw.substr(at), "\"--")) end = past_quoted(raw, at);
        else if (starts_with(raw.substr(at), "--")) end = white_from(raw, at);
        else break;
        std::string_view token = raw.substr(at, end - at);
        at = skip_white(raw, end);
        if (token == "--" || token == "\"--\"") break;
    }
    size_t end = at < raw.size() && raw[at] == '"' ? past_quoted(raw, at) : white_from(raw, at);
    return skip_white(raw, end);
}

int run_command_line() {
    Cell* args_field = system_object::field({"options", "args"});
    Cell* raw = system_object::field({"script", "args"});
    if (!raw || cell::type(raw) != type_string || !args_field || cell::type(args_field) != type_block) return -1;
    gc::Local args(*args_field);
    std::vector<std::string> items = strings_of(&args);

    bool stay = false;  // --catch: the console goes on after the script
    size_t at = 0;
    while (at < items.size() && starts_with(items[at], "-") && (at == 0 || items[at - 1] != "--")) {
        if (items[at] == "--") {
            at++;
            continue;
        }
        // An option the console does not know is a mistake, not a script's
        // name (a script named so follows "--").
        if (items[at] != "--catch") {
            std::string message = "vum: unknown option: " + items[at] + "\n" + usage + "\n";
            output::flush();
            std::fputs(message.c_str(), stderr);
            return 1;
        }
        gc::Local place(static_cast<const Cell&>(args));
        place.w1 += uint32_t(at);
        remove_part(&place, 1);
        items.erase(items.begin() + long(at));
        stay = true;
    }
    if (at == items.size()) return -1;

    std::string text;
    if (!read_script(items[at].c_str(), &text)) return 1;
    gc::Local error({});
    if (!source::guarded("do", [&] { take_script(&args, int32_t(at), items[at]); }, &error)) {
        report(&error);
        return 1;
    }
    int status = run_script_text(text);
    return stay ? run() : status;
}

}  // namespace vum::console
