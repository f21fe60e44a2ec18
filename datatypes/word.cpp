#include "datatypes/word.h"

#include <cstring>
#include <string>

#include "base/runtime-init.h"
#include "datatypes/actions.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol-context.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/typed-access.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::word {

namespace {

void record(const Cell& w) {
    if (runtime::word_recording && gc::roots.root_block.w2) *series::alloc_tail(&gc::roots.root_block) = w;
}

// The global word for a symbol, the slot shared by every case variant.
Cell global_word(int32_t symbol, uint8_t type) {
    Cell w = context::add_to_global(symbol, true, true);
    w.header = type;
    return w;
}

[[noreturn]] void raise_script(err::Script id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr) {
    errors::raise(id, arg1, arg2);
}

// An index that names no slot of the context cannot come from a word of it:
// refuse it rather than read past the context's series.
void check_index(uint32_t ctx, int32_t index) {
    if (index < 0 || index >= context::word_count(ctx)) {
        Cell n;
        cell::make_integer(&n, index);
        raise_script(err::script::out_of_range, &n);
    }
}

// The word's context and slot, checked before anything reads or writes them.
void check_bound(const Cell* word) {
    if (word->w1 == 0) raise_script(err::script::not_defined, word);
    int32_t index = int32_t(word->w3);
    if (index != -1 && index >= context::word_count(word->w1)) raise_script(err::script::not_defined, word);
}

// ---- The stand-in for the lexer: the word kinds and nothing else ----

bool delimiter(uint8_t c) { return c <= ' ' || std::strchr("[](){}\";", c) != nullptr; }
bool digit(uint8_t c) { return c >= '0' && c <= '9'; }

// A plain word's spelling: no delimiter, nothing that makes it a path, a
// url, an email, a number, a file, money or a tag.
bool plain_word(const uint8_t* t, int32_t n) {
    if (n <= 0) return false;
    bool only_slashes = true;
    for (int32_t i = 0; i < n; i++) {
        if (delimiter(t[i]) || t[i] == ':' || t[i] == '@' || t[i] == ',') return false;
        if (t[i] != '/') only_slashes = false;
    }
    if (only_slashes) return true;
    for (int32_t i = 0; i < n; i++)
        if (t[i] == '/') return false;
    uint8_t first = t[0];
    if (digit(first) || first == '%' || first == '$' || first == '#' || first == '\'') return false;
    if ((first == '+' || first == '-' || first == '.') && n > 1 && digit(t[1])) return false;
    if (first == '<' && n > 2 && t[n - 1] == '>') {
        for (int32_t i = 1; i < n - 1; i++)
            if ((t[i] | 0x20) >= 'a' && (t[i] | 0x20) <= 'z') return false;
    }
    return true;
}

// The word kind the token is, and where its spelling lies in it; 0 when the
// token is no word kind.
int32_t scan_token(const uint8_t* t, int32_t n, int32_t* start, int32_t* length) {
    if (n <= 0) return 0;
    auto body = [&](int32_t from, int32_t count, int32_t type) {
        *start = from;
        *length = count;
        return type;
    };
    if (t[0] == '#') {
        if (n < 2) return 0;
        for (int32_t i = 1; i < n; i++)
            if (delimiter(t[i])) return 0;
        return body(1, n - 1, type_issue);
    }
    if (t[0] == '\'' && plain_word(t + 1, n - 1)) return body(1, n - 1, type_lit_word);
    if (t[0] == ':' && plain_word(t + 1, n - 1)) return body(1, n - 1, type_get_word);
    if (t[0] == '/' && n > 1 && t[1] != '/' && plain_word(t + 1, n - 1)) return body(1, n - 1, type_refinement);
    if (n > 1 && t[n - 1] == ':' && plain_word(t, n - 1)) return body(0, n - 1, type_set_word);
    if (plain_word(t, n)) return body(0, n, type_word);
    return 0;
}

}  // namespace

bool stand_in_load_first(const char* text, int32_t length, Cell* out) {
    const auto* t = reinterpret_cast<const uint8_t*>(text);
    int32_t i = 0;
    while (i < length && t[i] <= ' ') i++;
    int32_t end = i;
    while (end < length && !delimiter(t[end])) end++;
    if (end == i) {
        if (i == length) return false;
        cell::make_none(out);  // a delimiter starts some other value
        return true;
    }
    int32_t start = 0, count = 0;
    int32_t type = scan_token(t + i, end - i, &start, &count);
    if (!type) {
        cell::make_none(out);  // a value of another kind
        return true;
    }
    std::string spelling(text + i + start, size_t(count));
    int32_t symbol = symbols::make_from_utf8(spelling.data(), count);
    if (type == type_issue)
        issue::make_at(symbol, out);
    else
        *out = global_word(symbol, uint8_t(type));
    return true;
}

int32_t stand_in_lex_type(const char* text, int32_t length) {
    int32_t start, count;
    return scan_token(reinterpret_cast<const uint8_t*>(text), length, &start, &count);
}

int32_t spelling_type(int32_t symbol) {
    int32_t length = 0;
    std::string spelling(symbols::text(symbol, &length));
    return services::current.lex_type(spelling.data(), int32_t(spelling.size()));
}

Cell load_as(uint8_t type, const char* text) {
    Cell w = global_word(symbols::make(text), type);
    record(w);
    return w;
}

Cell load(const char* text) { return load_as(type_word, text); }

void load_into_block_as(uint8_t type, const char* text, const Cell* block) {
    Cell w = load_as(type, text);
    *series::alloc_tail(block) = w;
}

Cell* make_at(int32_t symbol, Cell* out) {
    int32_t index = context::add_word(context::global, symbol);
    *out = {type_word, context::global, uint32_t(symbol), uint32_t(index)};
    return out;
}

void load_into_block(int32_t symbol, const Cell* block) {
    Cell w;
    make_at(symbol, &w);
    *series::alloc_tail(block) = w;
}

Cell* push_symbol(int32_t symbol) {
    Cell w;
    make_at(symbol, &w);
    return stack::push_copy(&w);
}

Cell* push(const Cell* word) { return stack::push_copy(word); }

Cell* push_as(uint8_t type, const Cell* word) {
    Cell* c = stack::push_copy(word);
    cell::set_type(c, type);
    return c;
}

Cell* push_from_context(uint32_t ctx, int32_t index) {
    check_index(ctx, index);
    return stack::push_copy(context::word_at(ctx, index));
}

Cell* push_from_context_as(uint8_t type, uint32_t ctx, int32_t index) {
    Cell* c = push_from_context(ctx, index);
    cell::set_type(c, type);
    return c;
}

const Cell* cell_at(uint32_t node, int32_t index) { return series::cells_head(node) + index; }

Cell word_for_symbol(uint32_t ctx, int32_t symbol) {
    int32_t slot = context::find_word(ctx, symbol, true);
    if (slot >= 0) return *context::word_at(ctx, slot);
    Cell w;
    make_at(symbol, &w);
    return w;
}

Cell* value_slot(uint32_t ctx, int32_t index) {
    check_index(ctx, index);
    return context::slot_address_checked(ctx, index);
}

Cell* get_in_context(uint32_t ctx, int32_t index) { return stack::push_copy(value_slot(ctx, index)); }

namespace {
void set_frame(bool check) {
    Cell* word = stack::arg(0);
    Cell value = *stack::arg(1);
    if (check && cell::type(&value) == type_unset) raise_script(err::script::need_value, word);
    check_bound(word);
    context::set_word_value(word, &value);
    *stack::arg(0) = value;
}

void mark_changed(uint32_t ctx, int32_t index) {
    if (!context::is_stack(ctx) && context::kind_of(ctx) == context::kind_object)
        context::word_at(ctx, index)->header |= cell::flag_slot_changed;
}
}  // namespace

void set_from_stack() { set_frame(true); }
void set_unchecked() { set_frame(false); }

Cell* set_by_index(uint32_t ctx, int32_t index) {
    value_slot(ctx, index);
    mark_changed(ctx, index);
    Cell value = *stack::top_cell();
    Cell* old = stack::push_copy(value_slot(ctx, index));
    *value_slot(ctx, index) = value;
    return old;
}

Cell* set_from_top(uint32_t ctx, int32_t index) {
    value_slot(ctx, index);
    mark_changed(ctx, index);
    *value_slot(ctx, index) = *stack::top_cell();
    return stack::top_cell();
}

Cell* set_from_result(uint32_t ctx, int32_t index) {
    value_slot(ctx, index);
    mark_changed(ctx, index);
    *value_slot(ctx, index) = *stack::result();
    return stack::result();
}

void check_set_value(Cell* destination) {
    Cell result = *stack::result();
    if (cell::type(&result) == type_unset) raise_script(err::script::need_value, destination);
    *destination = result;
}

Cell* value_address(const Cell* word) {
    check_bound(word);
    if (int32_t(word->w3) == -1) {
        // Only `self` reads without a slot: it names its context's owner.
        int32_t self = runtime_symbols::id(runtime_symbols::sym_self);
        if (self == 0 || symbols::resolve(int32_t(word->w2)) != symbols::resolve(self))
            raise_script(err::script::no_value, word);
    }
    return context::get_word_value(word);
}

Cell value_of(const Cell* word) {
    Cell v = *value_address(word);
    if (cell::type(&v) == type_unset) raise_script(err::script::no_value, word);
    return v;
}

Cell* push_value(const Cell* word) { return stack::push_copy(value_address(word)); }

Cell* get(const Cell* word) {
    Cell v = value_of(word);
    return stack::push_copy(&v);
}

Cell append_refinement_symbol(const char* text) {
    Cell r = {type_refinement, 0, uint32_t(symbols::make(text)), uint32_t(-1)};
    if (gc::roots.root_block.w2) *series::alloc_tail(&gc::roots.root_block) = r;
    return r;
}

}  // namespace vum::word

namespace vum::issue {

Cell* make_at(int32_t symbol, Cell* out) {
    *out = {type_issue, context::global, uint32_t(symbol), uint32_t(-1)};
    return out;
}

void append_to_block(const char* text, const Cell* block) {
    Cell i;
    make_at(symbols::make(text), &i);
    *series::alloc_tail(block) = i;
}

Cell make(const char* text) {
    Cell i;
    make_at(symbols::make(text), &i);
    if (runtime::word_recording && gc::roots.root_block.w2)
        *series::alloc_tail(&gc::roots.root_block) = i;
    else
        stack::push_copy(&i);
    return i;
}

Cell* push(const Cell* word) {
    Cell i = *word;
    make_at(int32_t(i.w2), &i);
    return stack::push_copy(&i);
}

}  // namespace vum::issue

namespace vum::word_type {

namespace {

using namespace actions;

// Writes the word's own spelling (not its canonical one) within the limit.
int32_t put_name(int32_t symbol, uint32_t buffer, const Cell* arg, int32_t limit) {
    uint32_t name = symbol_type::cache_string(symbol);
    int32_t n = string::length(name);
    for (int32_t i = 0; i < n; i++) {
        if (arg && limit <= 0) break;
        string::append_char(buffer, string::char_at(name, i));
        limit--;
    }
    return limit;
}

int32_t put_sigil(char sigil, uint32_t buffer, const Cell* arg, int32_t limit) {
    if (arg && limit <= 0) return limit;
    string::append_char(buffer, uint8_t(sigil));
    return limit - 1;
}

int32_t word_form(const Cell* v, uint32_t buffer, const Cell* arg, int32_t limit) {
    return put_name(int32_t(v->w2), buffer, arg, limit);
}

int32_t word_mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    return word_form(v, buffer, arg, limit);
}

template <char Sigil>
int32_t sigil_mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    limit = put_sigil(Sigil, buffer, arg, limit);
    return put_name(int32_t(v->w2), buffer, arg, limit);
}

int32_t set_word_mold(const Cell* v, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    limit = put_name(int32_t(v->w2), buffer, arg, limit);
    return put_sigil(':', buffer, arg, limit);
}

bool word_and_lit_word(uint8_t a, uint8_t b) {
    return (a == type_word && b == type_lit_word) || (a == type_lit_word && b == type_word);
}

int32_t word_compare(const Cell* a, const Cell* b, int32_t op) {
    uint8_t ta = cell::type(a), tb = cell::type(b);
    if ((tb == type_issue && ta != type_issue) || !word::is_any_word(tb)) return not_comparable;
    int32_t sa = int32_t(a->w2), sb = int32_t(b->w2);
    bool canonical = symbols::resolve(sa) == symbols::resolve(sb);
    switch (op) {
        case op_same: return ta == tb && a->w1 == b->w1 && sa == sb ? 0 : 1;
        case op_equal_path_10:
            if (word_and_lit_word(ta, tb)) return sa == sb ? 0 : 1;
            return ta == tb && sa == sb ? 0 : 1;
        case op_strict_equal: return ta == tb && sa == sb ? 0 : 1;
        case op_equal_path_11:
            if (word_and_lit_word(ta, tb)) return canonical ? 0 : 1;
            return ta == tb && canonical ? 0 : 1;
        case op_equal: case op_not_equal: case op_find: return canonical ? 0 : 1;
        default: return symbol_type::compare_names(sa, sb, op);
    }
}

int32_t issue_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_issue) return not_comparable;
    return word_compare(a, b, op);
}

void word_index() {
    Cell* v = stack::arg(0);
    if (int32_t(v->w3) == -1)
        cell::make_none(v);
    else
        cell::make_integer(v, int32_t(v->w3) + 1);
}

[[noreturn]] void raise_script_invalid_chars() { errors::raise(err::script::invalid_chars); }

[[noreturn]] void bad_to_arg(uint8_t target, const Cell* spec) {
    Cell type = cell::make_datatype(target);
    errors::raise(err::script::bad_to_arg, &type, spec);
}

// The word that a text loads as, retyped to the target kind; a text that
// does not load as a word kind has invalid characters for one.
void word_from_text(const std::string& text, uint8_t target, Cell* result) {
    Cell loaded = {type_none, 0, 0, 0};
    bool any = services::current.load_first_value(text.data(), int32_t(text.size()), &loaded);
    if (!any || !word::is_any_word(cell::type(&loaded))) raise_script_invalid_chars();
    loaded.header = target;
    *result = loaded;
}

std::string char_text(const Cell* c) {
    char bytes[4];
    int n = unicode::encode_utf8_char(c->w2, bytes);
    return std::string(bytes, size_t(n));
}

// make and to of the word kinds: `type` is the kind being made.
void word_make(const Cell*, const Cell* spec, int32_t type, Cell* result) {
    gc::Local s(*spec);
    uint8_t target = word::is_any_word(uint8_t(type)) ? uint8_t(type) : uint8_t(type_word);
    switch (cell::type(&s)) {
        case type_datatype: {
            int32_t t = int32_t(s.w1);
            if (!datatype::is_registered(t)) bad_to_arg(target, &s);
            Cell w = word::global_word(symbols::make(datatype::names[t].name), target);
            *result = w;
            return;
        }
        case type_logic: {
            Cell w = word::global_word(symbols::make(s.w1 & 1 ? "true" : "false"), target);
            *result = w;
            return;
        }
        case type_string: word_from_text(string::to_utf8(&s), target, result); return;
        case type_char: word_from_text(char_text(&s), target, result); return;
        case type_word: case type_set_word: case type_lit_word: case type_get_word:
            s.header = target;
            *result = s;
            return;
        case type_refinement: case type_issue: {
            int32_t kind = word::spelling_type(int32_t(s.w2));
            if (kind < type_word || kind > type_get_word) bad_to_arg(target, &s);
            context::bind_word(context::global, &s);
            s.header = target;
            *result = s;
            return;
        }
        default: bad_to_arg(target, &s);
    }
}

void issue_make(const Cell* prototype, const Cell* spec, int32_t, Cell* result) {
    gc::Local s(*spec);
    std::string text;
    switch (cell::type(&s)) {
        case type_string: text = string::to_utf8(&s); break;
        case type_char: text = char_text(&s); break;
        default:
            if (word::is_any_word(cell::type(&s)))
                *result = s;
            else
                word_make(prototype, &s, type_issue, result);
            // An issue names a symbol and never a slot, whatever it came from.
            issue::make_at(int32_t(result->w2), result);
            return;
    }
    // An issue's text is not checked: any spelling is a symbol.
    issue::make_at(symbols::make_from_utf8(text.data(), int32_t(text.size())), result);
}

// A child of word! takes these of word!'s handlers.
Row child(int32_t type, const char* name) {
    Row r(type, name, type_word);
    r.inherit<slot_make, slot_to, slot_form, slot_compare, slot_index_q>();
    return r;
}

}  // namespace

void init() {
    Row w(type_word, "word!", type_symbol);
    w.set<slot_make>(word_make)
        .set<slot_to>(word_make)
        .set<slot_form>(word_form)
        .set<slot_mold>(word_mold)
        .set<slot_compare>(word_compare)
        .set<slot_index_q>(word_index);
    datatype::register_type(w);

    Row lit = child(type_lit_word, "lit-word!");
    lit.set<slot_mold>(sigil_mold<'\''>);
    datatype::register_type(lit);

    Row set = child(type_set_word, "set-word!");
    set.set<slot_mold>(set_word_mold);
    datatype::register_type(set);

    Row get = child(type_get_word, "get-word!");
    get.set<slot_mold>(sigil_mold<':'>);
    datatype::register_type(get);

    Row refinement = child(type_refinement, "refinement!");
    refinement.set<slot_mold>(sigil_mold<'/'>)
        .without<slot_index_q>();
    datatype::register_type(refinement);
}

void init_issue() {
    Row r(type_issue, "issue!", type_word);
    r.set<slot_make>(issue_make)
        .set<slot_to>(issue_make)
        .inherit<slot_form>()
        .set<slot_mold>(sigil_mold<'#'>)
        .set<slot_compare>(issue_compare);
    datatype::register_type(r);
}

}  // namespace vum::word_type
