// Reads arbitrary bytes as JSON and as CSV text. The first byte chooses the
// load-csv refinements; the rest, as UTF-8 (or, when that fails, each byte
// as a Latin-1 character, so that every input reaches the readers), goes to
// load-json and load-csv. What they read is written again by to-json (plain,
// pretty and ASCII) and to-csv and read back. Error values and raised
// errors are expected outcomes; a crash, a sanitizer report or a hang is a
// fault. FUZZ_ONLY=json or FUZZ_ONLY=csv gives one reader all the time, so
// that each gets a run of its own.
#include "tests/fuzz/fuzz-runtime.h"

const char* const fuzz::setup_source = R"(
fuzz-is: func [type value] [type = type? :value]
fuzz-text: func [bytes /local s] [
    either fuzz-is string! s: try [to string! bytes] [s] [
        s: make string! length? bytes
        foreach b bytes [append s to char! b]
        s
    ]
]
fuzz-json: func [s /local v j] [
    v: try [load-json s]
    try [to-json/pretty :v "  "]
    try [to-json/ascii :v]
    if fuzz-is string! j: try [to-json :v] [try [load-json j]]
]
fuzz-csv: func [s mode /local r c] [
    r: try [
        switch mode [
            0 [load-csv s]
            1 [load-csv/header s]
            2 [load-csv/as-records s]
            3 [load-csv/flat s]
            4 [load-csv/trim/with s #";"]
            5 [load-csv/with/quote s "||" #"'"]
            6 [load-csv/as-columns s]
            7 [load-csv/header/as-records/trim s]
        ]
    ]
    if fuzz-is string! c: try [to-csv :r] [try [load-csv c]]
    try [to-csv/skip :r 2]
    try [to-csv/with/quote :r "||" #"'"]
]
fuzz-codecs: func [bytes only /local s] [
    s: fuzz-text next bytes
    if only <> "csv" [fuzz-json s]
    if only <> "json" [fuzz-csv s (first bytes) // 8]
]
)";

int fuzz::fuzz_one_input(const uint8_t* data, size_t size) {
    using namespace vum;
    if (size < 1 || size > 1 << 14) return 0;
    set_binary("fuzz-input", data, size);
    Cell result{};
    gc::Protect keep(&result);
    static const std::string call = [] {
        const char* only = std::getenv("FUZZ_ONLY");
        return std::string("fuzz-codecs fuzz-input \"") + (only ? only : "") + "\"";
    }();
    eval(call, &result);
    return 0;
}
