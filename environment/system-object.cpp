#include "environment/system-object.h"

#include <cstdlib>
#include <string>

#include "base/build-stamp.h"
#include "base/command-line.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/file-url.h"
#include "datatypes/float.h"
#include "datatypes/money-currencies.h"
#include "datatypes/money.h"
#include "datatypes/string.h"
#include "memory/call.h"
#include "environment/source-runner.h"
#include "memory/collector.h"
#include "memory/cell-access.h"
#include "memory/context.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum::system_object {

namespace {

// The class id of the global context's object value: no prototype makes
// one like it.
constexpr uint32_t words_class_id = 0xFFFFFFFF;

bool is_object(const Cell* c) { return c && cell::type(c) == type_object; }

// The object the names lead to, or null.
Cell* object_at(const char* const* names, size_t count) {
    // The names are words of the environment's sources, so finding their
    // symbols allocates nothing once the system object exists.
    Cell* system = context::global_value_address(symbols::make("system"));
    if (!is_object(system)) return nullptr;
    Cell* at = system;
    for (size_t i = 0; i < count; i++) {
        at = context::value_of_symbol(cell::context_node(at), symbols::make(names[i]));
        if (!is_object(at)) return nullptr;
    }
    return at;
}

Cell* field_of(const char* const* names, size_t count) {
    if (count == 0) return object_at(names, 0);
    Cell* object = object_at(names, count - 1);
    if (!object) return nullptr;
    return context::value_of_symbol(cell::context_node(object), symbols::make(names[count - 1]));
}

bool set_quietly(std::initializer_list<const char*> names, const Cell* value) {
    return set_field(names, value, false);
}

// ---- the values only the runtime knows

void set_words() {
    Cell words = {type_object, context::global, words_class_id, 0};
    *context::owner_cell(context::global) = words;
    set_quietly({"words"}, &words);
}

bool set_build_date(Cell* error) {
    gc::Local loaded({});
    if (!source::load(build::stamp, &loaded)) {
        *error = loaded;
        return false;
    }
    gc::Local date(*series::cells_head(loaded.w2));
    set_quietly({"build", "date"}, &date);
    return true;
}

void set_catalogue() {
    gc::Local errors(error::catalogue());
    set_quietly({"catalog", "errors"}, &errors);
}

// The list block mirrors the runtime's currency list, which money values
// index into.
void fill_currency_list() {
    Cell* list = field({"locale", "currencies", "list"});
    if (!list || cell::type(list) != type_block) return;
    gc::Local block(*list);
    for (int32_t i = 1; i <= money_type::currencies::count(); i++) {
        gc::Local code(money_type::currencies::word(i));
        *series::alloc_tail(&block) = code;
    }
}

// ---- the runtime's settings read back from the object

// The settings count once start has completed the object: while the
// environment's sources still run, the runtime keeps its own defaults.
bool settings_read = false;

const Cell* money_digits() { return settings_read ? field({"options", "money-digits"}) : nullptr; }

int32_t stack_trace_level() {
    if (!settings_read) return 0;
    const Cell* level = field({"state", "stack-trace"});
    return level && cell::type(level) == type_integer ? cell::get_integer(level) : 0;
}

bool copy_source_files(Cell* out) {
    if (!settings_read) return false;
    const Cell* files = field({"state", "source-files"});
    if (!files || cell::type(files) != type_block || block_actions::is_tail(files)) return false;
    gc::Local list(*files);
    block_actions::copy(&list, out, nullptr, false, nullptr);
    return true;
}

void read_float_switches() {
    const Cell* pretty = field({"options", "float", "pretty?"});
    const Cell* full = field({"options", "float", "full?"});
    if (pretty) float_type::pretty = cell::type(pretty) == type_logic && pretty->w1;
    if (full) float_type::full = cell::type(full) == type_logic && full->w1;
}

// ---- the cache folder

// $XDG_CACHE_HOME/vum/, else ~/.cache/vum/; none without either (a relative
// XDG_CACHE_HOME is ignored, as the convention asks). Only the path is
// set: the folder is made when something is first cached.
void set_cache_folder() {
    std::string root;
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    if (xdg && xdg[0] == '/') root = xdg;
    else if (home && home[0]) root = std::string(home) + "/.cache";
    else return;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    if (root == "/") root.clear();
    root += "/vum/";
    gc::Local path(file_url::from_local_path(root.data(), int32_t(root.size())));
    cell::set_type(&path, type_file);
    set_quietly({"options", "cache"}, &path);
}

// ---- the command line

bool take_command_line(Cell* error) {
    // Arguments are bytes, most often file names, and need not be UTF-8:
    // they are kept as paths from the system are, so that none stops the
    // script and a file named by one opens.
    std::string line = command_line::text();
    gc::Local text(file_url::from_local_path(line.data(), int32_t(line.size())));
    cell::set_type(&text, type_string);
    set_quietly({"script", "args"}, &text);
    Cell* extract = context::global_value_address(symbols::make("extract-boot-args"));
    if (!extract || cell::type(extract) != type_function) return true;
    gc::Local function(*extract);
    gc::Local name(context::load_word("extract-boot-args"));
    return source::guarded("extract-boot-args", [&] {
        gc::Local result({});
        call::Call(&function, &name).run(&result);
    }, error);
}

}  // namespace

Cell* field(std::initializer_list<const char*> names) { return field_of(names.begin(), names.size()); }

bool set_field(std::initializer_list<const char*> names, const Cell* value, bool notify) {
    if (names.size() == 0) return false;
    Cell* object = object_at(names.begin(), names.size() - 1);
    if (!object) return false;
    uint32_t ctx = cell::context_node(object);
    int32_t symbol = symbols::make(names.end()[-1]);
    int32_t slot = context::find_word(ctx, symbol, true);
    if (slot < 0) return false;
    Cell word = *context::word_at(ctx, slot);
    word.w1 = ctx;
    word.w3 = uint32_t(slot);
    context::set_in(&word, value, ctx, notify);
    return true;
}

bool start(Cell* error) {
    if (!field({})) return true;
    set_words();
    if (!set_build_date(error)) return false;
    set_catalogue();
    fill_currency_list();
    settings_read = true;
    read_float_switches();
    set_cache_folder();
    return take_command_line(error);
}

void offer_services(services::Services& s) {
    s.money_digits = money_digits;
    s.stack_trace_level = stack_trace_level;
    s.source_files = copy_source_files;
}

}  // namespace vum::system_object
