// The preprocessor's expand-directives over random blocks. The first byte
// chooses how the block is made: even, the rest of the bytes are loaded as
// source text (so preprocessor snippets make seeds as they are); odd, the
// bytes choose a block from a grammar of directives (#if #either #switch
// #case #do #do keep #local #macro, named and pattern, #reset #trace
// #process #include #include-binary #system routine) with values, nested
// blocks and parens, and stretches of the input loaded as values mixed in.
//
// Directive code and macros run language code, so the run is kept away
// from the machine: every word the block holds must be one of a fixed
// vocabulary that cannot read, write, run programs, reach the network or
// make words from text (others become `x`); the functions that could are
// replaced by ones that refuse; `load` of a file answers from a small table
// in memory (with an include cycle among them) and refuses anything else;
// and the target works in an empty temporary directory. Run it as an
// unprivileged user in a namespace without a network as well (see
// README.md).
//
// Macros may expand for ever by their own logic (a macro whose result calls
// it again), so a watchdog asks the evaluator to halt once an input has run
// past a time budget, as Ctrl-C would, and `halt` raises an error. A hang
// that the evaluator's polling cannot stop still trips libFuzzer's timeout.
// Errors and the preprocessor's own reports (which throw to the console)
// are expected outcomes; a crash, a sanitizer report or such a hang is a
// fault.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "memory/interrupt.h"
#include "tests/fuzz/fuzz-runtime.h"

const char* const fuzz::setup_source = R"(
fuzz-dir: what-dir
fuzz-refuse: func [] [do make error! "refused by the fuzz target"]
foreach w [
    read write delete rename make-dir open close call quit save browse wait
    ask input launch do-file read-clipboard write-clipboard
] [if value? w [set w :fuzz-refuse]]
halt: func [] [do make error! "the fuzz target's time budget ran out"]
fuzz-files: reduce [
    %a.vum [#include %b.vum a]
    %b.vum [b #include %a.vum]
    %m.vum [#macro inc: func [n] [n + 1] inc 1]
    %c.vum [#do [x: 1] #if x = 1 [c]]
]
load: func [source /all /header /next /part length /into out /as format /local found] [
    unless file? source [do make error! "only files of the fuzz target load"]
    unless found: select fuzz-files second split-path source [do make error! "no such file"]
    copy/deep found
]
fuzz-words: [
    x y z a b c foo bar baz inc n s e config
    func function does routine keep on off manual local only part all dup with
    + - * / = <> < > not and or xor
    if either unless case switch any all loop while until foreach repeat
    append insert change remove clear copy first second last next back head tail
    skip pick find select length? empty? reverse unique compose collect
    integer? block? word? string? none? tail? head? form mold rejoin
    true false none quote break exit return
]
fuzz-clean-path: func [p /local v] [
    foreach v p [if all [any-word? :v not find fuzz-words to word! v] [return 'x]]
    p
]
fuzz-clean: func [list /local v] [
    forall list [
        v: first list
        case [
            any [block? :v paren? :v] [fuzz-clean v]
            any-path? :v [change/only list fuzz-clean-path v]
            all [any-word? :v not find fuzz-words to word! v] [change list to type? :v 'x]
            all [issue? :v v = #fuzz-raw binary? second list] [
                remove list
                v: try [transcode first list]
                either block? :v [fuzz-clean v change/part list v 1] [change list 'x]
            ]
        ]
    ]
    head list
]
fuzz-expand: func [code /local p] [
    p: preprocessor
    p/active?: true p/trace?: false p/depth: 0 p/s: p/e: none
    clear p/stack clear p/included
    catch/name [try [expand-directives/clean fuzz-clean code]] 'console
    change-dir fuzz-dir
    try [mold code]
]
fuzz-source: func [bytes /local code] [
    if block? code: try [transcode bytes] [fuzz-expand code]
]
)";

namespace {

using fuzz::Reader;

// Works in an empty directory of its own, before the runtime starts and
// takes note of where it is.
const bool in_empty_directory = [] {
    char dir[] = "/tmp/preprocessor-fuzz-XXXXXX";
    return mkdtemp(dir) && chdir(dir) == 0;
}();

std::string hex(Reader& r, uint32_t most) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = "#{";
    for (uint32_t n = r.below(most + 1); n && !r.empty(); n--) {
        uint8_t b = r.byte();
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s + "}";
}

std::string items(Reader& r, int depth, uint32_t most);

std::string value(Reader& r, int depth) {
    static const char* const simple[] = {
        "x", "y", "z", "a", "b", "foo", "bar", "inc", "1", "2", "0", "-1", "\"s\"", "none", "true", "false",
        "'x", "x:", ":x", "%a.vum", "%b.vum", "%m.vum", "%c.vum", "%none.vum", "\"a.vum\"", "+", "=", "*", "s",
        "e", "config", "copy/part", "append/only", "1.5", "#\"a\"", "#{00}", "[]", "()", "#default", "keep",
        "routine", "on", "off", "/local", "func", "function", "n", "http://x.invalid/a.vum", "inc inc 1"};
    switch (depth < 4 ? r.below(8) : 0) {
        case 1: return "[" + items(r, depth + 1, 4) + "]";
        case 2: return "(" + items(r, depth + 1, 3) + ")";
        case 3: return "#fuzz-raw " + hex(r, 16);
        default: return r.pick(simple);
    }
}

std::string expr(Reader& r, int depth) {
    std::string s;
    for (uint32_t n = 1 + r.below(3); n; n--) s += " " + value(r, depth);
    return s;
}

std::string body(Reader& r, int depth) { return "[" + items(r, depth + 1, 4) + "]"; }

std::string macro(Reader& r, int depth) {
    static const char* const names[] = {"foo:", "inc:", "bar", "'baz", "foo"};
    static const char* const patterns[] = {"[integer!]", "['x]", "[word! integer!]", "[]", "[some integer!]",
                                           "[block!]", "[to end]"};
    static const char* const args[] = {"[]", "[n]", "[a b]", "[s e]", "[[manual] s e]", "[n /local x]",
                                       "[\"doc\" n]", "[a [integer!]]"};
    static const char* const results[] = {"[n + 1]", "[[x]]", "[reduce [a]]", "[copy/part s e]", "[e]",
                                          "[next s]", "[s]", "[[foo]]", "[[inc inc 1]]", "[[#do [y: 2]]]",
                                          "[[]]", "[none]", "[n]"};
    bool named = r.below(3) != 0;
    std::string s = std::string("#macro ") + (named ? r.pick(names) : r.pick(patterns));
    s += r.below(2) ? " func " : " function ";
    s += r.pick(args);
    return s + " " + (r.below(3) ? r.pick(results) : body(r, depth));
}

std::string directive(Reader& r, int depth) {
    switch (r.below(17)) {
        case 0: return "#if" + expr(r, depth) + " " + body(r, depth);
        case 1: return "#either" + expr(r, depth) + " " + body(r, depth) + " " + body(r, depth);
        case 2: return "#switch" + expr(r, depth) + " [1 " + body(r, depth) + " x " + body(r, depth) +
                       " #default " + body(r, depth) + "]";
        case 3: return "#case [" + expr(r, depth) + " " + body(r, depth) + expr(r, depth) + " " +
                       body(r, depth) + "]";
        case 4: return "#do " + body(r, depth);
        case 5: return "#do keep " + body(r, depth);
        case 6: return "#local " + body(r, depth);
        case 7:
        case 8: return macro(r, depth);
        case 9: return "#reset";
        case 10: return r.below(2) ? "#trace on" : "#trace off";
        case 11: return r.below(2) ? "#process on" : "#process off";
        case 12: return "#include " + value(r, depth);
        case 13: return "#include-binary " + value(r, depth);
        case 14: return r.below(2) ? "#system " + body(r, depth) : "#system-global " + body(r, depth);
        case 15: return "routine" + expr(r, depth);
        default: {
            // A directive with its operands missing or of the wrong kind.
            static const char* const bare[] = {"#if", "#either", "#switch", "#case", "#do", "#local", "#macro",
                                               "#trace", "#process", "#include", "#do keep", "#macro foo:"};
            return r.pick(bare);
        }
    }
}

std::string items(Reader& r, int depth, uint32_t most) {
    std::string s;
    for (uint32_t n = r.below(most + 1); n && !r.empty(); n--)
        s += " " + (r.below(3) ? directive(r, depth) : value(r, depth));
    return s;
}

// Asks the evaluator to halt, as Ctrl-C does, while an input has run past
// the budget.
std::atomic<int64_t> started_at{0};

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void start_watchdog() {
    static const int64_t budget = [] {
        const char* ms = std::getenv("FUZZ_BUDGET_MS");
        return int64_t(ms ? std::atoi(ms) : 1000);
    }();
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            int64_t start = started_at.load();
            if (start && now_ms() - start > budget) vum::interrupt::requested = 1;
        }
    }).detach();
}

}  // namespace

int fuzz::fuzz_one_input(const uint8_t* data, size_t size) {
    using namespace vum;
    if (size < 1 || size > 1 << 13 || !in_empty_directory) return 0;
    static const bool watching = (start_watchdog(), true);
    (void)watching;
    Cell result{};
    gc::Protect keep(&result);
    interrupt::requested = 0;
    started_at = now_ms();
    if (data[0] % 2 == 0) {
        set_binary("fuzz-input", data + 1, size - 1);
        eval("fuzz-source fuzz-input", &result);
    } else {
        Reader r(data + 1, size - 1);
        std::string code = "fuzz-expand [" + items(r, 0, 12) + "]";
        if (std::getenv("FUZZ_SHOW")) std::fprintf(stderr, "%s\n", code.c_str());
        eval(code, &result);
    }
    started_at = 0;
    interrupt::requested = 0;
    return 0;
}
