#include "memory/runtime-symbols.h"

#include "memory/collector.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum::runtime_symbols {

int32_t symbol_ids[symbol_count];
Cell global_words[global_word_count];
Cell words[word_count];
Cell refinements[refinement_count];
Cell issue_ooo;

namespace {
constexpr const char* symbol_texts[symbol_count] = {
    "spec", "body", "words", "class", "logic!", "integer!", "char!", "float!", "percent!",
    "any-type!", "exit", "return", "Windows", "Syllable", "macOS", "Linux", "NetBSD", "repeat",
    "foreach", "map-each", "remove-each", "any", "break", "copy", "end", "fail", "into", "opt",
    "not", "quote", "case", "reject", "set", "skip", "some", "thru", "to", "none", "|", "-", "if",
    "remove", "while", "insert", "only", "collect", "keep", "pick", "ahead", "after", "x", "y",
    "z", "self", "values", "owner", "owned", "events?", "true", "false", "yes", "no", "on", "off",
    "type", "face", "window", "offset", "key", "flag", "code", "picked", "flags", "away?", "ctrl?",
    "shift?", "down?", "mid-down?", "alt-down?", "aux-down?", "orientation", "get", "put", "post",
    "head", "size", "rgb", "alpha", "argb", "date", "year", "month", "day", "zone", "isoweek",
    "week", "weekday", "yearday", "julian", "time", "hour", "minute", "second", "timezone", "code",
    "amount", "user", "host", "system", "system-global", "stack", "trace", "no-trace", "local",
};

// Which symbol each global word is made from, in the order they are made;
// a word listed twice is made again into the same global.
struct GlobalSource {
    GlobalWord global;
    Symbol symbol;
};
constexpr GlobalSource global_sources[] = {
    {global_Windows, sym_Windows},
    {global_Syllable, sym_Syllable},
    {global_macOS, sym_macOS},
    {global_Linux, sym_Linux},
    {global_NetBSD, sym_NetBSD},
    {global_to, sym_to},
    {global_thru, sym_thru},
    {global_not, sym_not},
    {global_remove, sym_remove},
    {global_while, sym_while},
    {global_collect, sym_collect},
    {global_keep, sym_keep},
    {global_ahead, sym_ahead},
    {global_bar, sym_bar},
    {global_any, sym_any},
    {global_some, sym_some},
    {global_copy, sym_copy},
    {global_opt, sym_opt},
    {global_into, sym_into},
    {global_insert, sym_insert},
    {global_if, sym_if},
    {global_quote, sym_quote},
    {global_collect, sym_collect},
    {global_set, sym_set},
    {global_case, sym_case},
};

constexpr const char* word_texts[word_count] = {
    "at", "back", "find", "head", "head?", "index?", "length?", "next", "pick", "skip", "select",
    "tail", "tail?", "change", "changed", "clear", "cleared", "set-path", "append", "appended",
    "move", "moved", "poke", "poked", "put", "put-ed", "removed", "random", "randomized",
    "reverse", "reversed", "sort", "sorted", "swap", "swaped", "take", "taken", "trim", "trimmed",
    "inserted", "uppercase", "lowercase", "checksum", "push", "pop", "fetch", "match", "iterate",
    "paren", "<anon>", "<body>", "<not-found>", "add", "subtract", "divide", "on-parse-event",
    "on-change*", "on-deep-change*", "type", "id", "try", "catch", "name", "multiply", "browse",
    "open", "create", "close", "delete", "modify", "query", "read", "rename", "update", "write",
    "prescan", "scan", "load", "error", "comment", "init", "exec", "call", "return", "enter",
    "exit", "prolog", "epilog", "throw", "expr", "<interp-callback>", "<lexer-callback>",
    "<parse-callback>", "<compare-callback>", "throw", "note", "syntax", "script", "math",
    "access", "user", "internal", "invalid-error", "local", "<applied>",
};

constexpr const char* refinement_texts[refinement_count] = {"local", "extern", "compare", "part", "skip", "with"};

uint32_t refinement_block = 0;
}  // namespace

void init_runtime_words() {
    for (int32_t i = 0; i < symbol_count; i++) symbol_ids[i] = symbols::make(symbol_texts[i]);
    for (const GlobalSource& g : global_sources) global_words[g.global] = context::make_global(id(g.symbol));
    // `end` is made between <not-found> and add.
    for (int32_t i = 0; i < word_count; i++) {
        words[i] = context::load_word(word_texts[i]);
        if (i == word_not_found) global_words[global_end] = context::make_global(id(sym_end));
    }
}

void init_refinements() {
    refinement_block = memory::alloc_cells(refinement_count);
    Cell b;
    cell::make_series(&b, type_block, refinement_block);
    if (gc::roots.root_block.w2) *series::alloc_tail(&gc::roots.root_block) = b;
    for (int32_t i = 0; i < refinement_count; i++) {
        // Refinements of specs are not bound to any context.
        Cell r = {type_refinement, 0, uint32_t(symbols::make(refinement_texts[i])), uint32_t(-1)};
        refinements[i] = r;
        *series::alloc_tail_cell(refinement_block) = r;
    }
}

void init_issue_constant() {
    issue_ooo = {type_issue, context::global, uint32_t(symbols::make("ooo")), uint32_t(-1)};
    if (gc::roots.root_block.w2) *series::alloc_tail(&gc::roots.root_block) = issue_ooo;
}

}  // namespace vum::runtime_symbols
