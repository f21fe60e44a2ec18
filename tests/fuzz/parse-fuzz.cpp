// PARSE with random rules over random input: the fuzzer's bytes choose a
// grammar (keywords, literals, charsets, nested blocks, repetitions, words
// set to sub-rules that may call each other, set/copy, collect/keep,
// insert/change/remove, into, parens and conditions) and an input (text,
// block or binary), then PARSE runs, with /case and /part by choice.
//
// A grammar may loop forever by its own logic (`while [opt "x"]`), so each
// rule set first runs under /trace with a callback that stops the parse
// after a number of steps or when the input has grown past a size. Only when
// that run ended by itself does the same parse run again untraced. A crash,
// a sanitizer report or a hang is a fault; false, true, a collected block or
// a language error are all fine.
#include "tests/fuzz/fuzz-runtime.h"

const char* const fuzz::setup_source = R"(
fuzz-limit: 5000
fuzz-steps: 0
fuzz-tracer: func [event match? rule input stack] [
    fuzz-steps: fuzz-steps + 1
    all [fuzz-steps < fuzz-limit  5000 > length? input]
]
fuzz-reset: does [n: 0 x1: x2: x3: none fuzz-steps: 0]
)";

namespace {

using fuzz::Reader;

enum Input { text, block, binary };

std::string text_literal(Reader& r, uint32_t most) {
    static const char* const pieces[] = {"a", "b", "A", "B", "c", " ", "^/", "é", "^(00)", "ab", "x", "^^",
                                         "^\"", "É", "^(1F600)", "-"};
    std::string s = "\"";
    for (uint32_t n = r.below(most + 1); n; n--) s += r.pick(pieces);
    return s + "\"";
}

std::string block_item(Reader& r) {
    static const char* const items[] = {"1",  "2",     "a",   "b",     "\"a\"", "\"ab\"", "[a]", "[1 \"a\"]",
                                        "#\"a\"", "1.5", "none", "'a", "a:",   ":a",    "(1)", "#{61}", "[]"};
    return r.pick(items);
}

std::string input_text(Reader& r, Input kind) {
    switch (kind) {
        case text: return text_literal(r, 24);
        case binary: {
            static const char* const bytes[] = {"61", "62", "41", "00", "FF", "0A", "C3", "A9"};
            std::string s = "#{";
            for (uint32_t n = r.below(25); n; n--) s += r.pick(bytes);
            return s + "}";
        }
        default: {
            std::string s = "[";
            for (uint32_t n = r.below(13); n; n--) s += " " + block_item(r);
            return s + "]";
        }
    }
}

// A value the rules match literally.
std::string literal(Reader& r, Input kind) {
    switch (kind) {
        case block: {
            static const char* const types[] = {"integer!", "word!", "string!", "block!", "any-string!",
                                                "number!", "none!", "char!", "set-word!", "paren!"};
            switch (r.below(4)) {
                case 0: return r.pick(types);
                case 1: return "quote " + block_item(r);
                case 2: return "'a";
                default: return text_literal(r, 2);
            }
        }
        case binary:
            if (r.below(2)) return "#{" + std::string(r.below(2) ? "61" : "6162") + "}";
            [[fallthrough]];
        default: {
            static const char* const chars[] = {"#\"a\"", "#\"b\"", "#\"A\"", "#\"é\"", "#\"^/\""};
            switch (r.below(4)) {
                case 0: return r.pick(chars);
                case 1: return r.below(2) ? "cs1" : "cs2";
                default: return text_literal(r, 3);
            }
        }
    }
}

std::string rule(Reader& r, Input kind, int depth);

std::string element(Reader& r, Input kind, int depth) {
    auto sub = [&] { return depth > 0 ? rule(r, kind, depth - 1) : literal(r, kind); };
    auto target = [&] { return std::string(r.below(2) ? "x1" : r.below(2) ? "x2" : "x3"); };
    switch (r.below(depth > 0 ? 44 : 12)) {
        case 0: case 1: case 2: case 3: return literal(r, kind);
        case 4: return "skip";
        case 5: return "end";
        case 6: return "r" + std::to_string(1 + r.below(4));
        case 7: return "(n: n + 1)";
        case 8: return r.below(2) ? "fail" : "none";
        case 9: return r.below(2) ? "to " + literal(r, kind) : "thru " + literal(r, kind);
        case 10: return r.below(2) ? "to end" : "thru end";
        case 11: return r.below(2) ? "x1:" : ":x1";
        // Only with depth left: keywords that take a sub-rule.
        case 12: return "any " + sub();
        case 13: return "some " + sub();
        case 14: return "opt " + sub();
        case 15: return "while " + sub();
        case 16: return std::to_string(r.below(4)) + " " + sub();
        case 17: return std::to_string(r.below(3)) + " " + std::to_string(r.below(5)) + " " + sub();
        case 18: return "not " + sub();
        case 19: return "ahead " + sub();
        case 20: return r.below(2) ? "break" : "reject";
        case 21: return "if (n < " + std::to_string(r.below(4)) + ")";
        case 22: return "set " + target() + " " + sub();
        case 23: return "copy " + target() + " " + sub();
        case 24: return "collect [" + rule(r, kind, depth - 1) + "]";
        case 25: return "collect set " + target() + " [" + rule(r, kind, depth - 1) + "]";
        case 26: return "keep " + sub();
        case 27: return "keep pick " + sub();
        case 28: return "keep (" + std::string(r.below(2) ? "n" : "x1") + ")";
        case 29: return "remove " + sub();
        case 30: return "insert " + literal(r, kind);
        case 31: return "insert only " + literal(r, kind);
        case 32: return "change " + sub() + " " + literal(r, kind);
        case 33: return "change only " + sub() + " " + literal(r, kind);
        case 34: return "into [" + rule(r, kind == block ? block : text, depth - 1) + "]";
        case 35: return "quote " + block_item(r);
        case 36: return "case " + sub();
        case 37: return "after " + sub();
        case 38: return "collect into x1 [" + rule(r, kind, depth - 1) + "]";
        case 39: return "insert x1";
        case 40: return "(x1: copy \"\")";
        case 41: return "keep copy x2 " + sub();
        default: return "[" + rule(r, kind, depth - 1) + "]";
    }
}

std::string rule(Reader& r, Input kind, int depth) {
    std::string s;
    for (uint32_t alternatives = r.below(3); ; alternatives--) {
        for (uint32_t n = 1 + r.below(4); n; n--) s += " " + element(r, kind, depth);
        if (!alternatives) break;
        s += " |";
    }
    return s;
}

}  // namespace

int fuzz::fuzz_one_input(const uint8_t* data, size_t size) {
    using namespace vum;
    if (size > 4096) return 0;
    Reader r(data, size);
    Input kind = Input(r.below(3));
    std::string rules = "fuzz-reset\ncs1: charset \"ab\" cs2: complement charset \"a^/\"\n";
    for (int i = 1; i <= 4; i++) rules += "r" + std::to_string(i) + ": [" + rule(r, kind, 2) + "]\n";
    rules += "fuzz-rules: [" + rule(r, kind, 3) + "]\n";
    rules += "fuzz-input: " + input_text(r, kind) + "\n";
    // Refinement arguments come in the order the path names them.
    std::string refinements, part;
    if (r.below(2)) refinements += "/case";
    if (r.below(2)) {
        refinements += "/part";
        part = " " + std::to_string(int(r.below(30)) - 2);
    }
    std::string traced = rules + "try [parse/trace" + refinements + " copy/deep fuzz-input fuzz-rules :fuzz-tracer" +
                         part + "]\nfuzz-steps < fuzz-limit";
    // FUZZ_SHOW=1 prints the code each input runs, to turn a finding into
    // a transcript.
    static const bool show = std::getenv("FUZZ_SHOW") != nullptr;
    if (show) std::fprintf(stderr, "%s\n", traced.c_str());
    Cell result{};
    gc::Protect keep(&result);
    if (!eval(traced, &result) || cell::type(&result) != type_logic || !result.w1) return 0;
    // It ended by itself: the same again without the tracer.
    eval(rules + "try [parse" + refinements + " copy/deep fuzz-input fuzz-rules" + part + "]", &result);
    return 0;
}
