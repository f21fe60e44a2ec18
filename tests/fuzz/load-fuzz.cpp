// Loads arbitrary bytes the way `load` does (transcode of a binary, and of
// the same bytes as a string when they are valid UTF-8), then molds what
// loaded in each mold mode and loads those texts again. Syntax and other
// language errors are expected outcomes; a crash, a sanitizer report or a
// hang is a fault. With FUZZ_STRICT set, a constructed mold (mold/all) that
// does not reach a fixed point after one reload aborts as well.
#include "tests/fuzz/fuzz-runtime.h"

const char* const fuzz::setup_source = R"(
fuzz-is: func [type value] [type = type? :value]
fuzz-remold: func [b /local m b2 m2] [
    foreach m reduce [try [mold b] try [mold/all b] try [mold/flat b] try [mold/only b]] [
        if fuzz-is string! :m [b2: try [transcode m] if fuzz-is block! :b2 [try [mold/all b2]]]
    ]
    m: try [mold/all b]
    all [
        fuzz-is string! :m
        fuzz-is block! b2: try [transcode m]
        fuzz-is string! m2: try [mold/all/only b2]
        not m == m2
        reduce [m m2]
    ]
]
fuzz-load: func [src /local b s r] [
    r: none
    if fuzz-is block! b: try [transcode src] [r: fuzz-remold b]
    try [transcode/next src]
    try [transcode/one src]
    if fuzz-is string! s: try [to string! src] [
        if fuzz-is block! b: try [transcode s] [fuzz-remold b]
    ]
    r
]
)";

int fuzz::fuzz_one_input(const uint8_t* data, size_t size) {
    using namespace vum;
    static const bool strict = std::getenv("FUZZ_STRICT") != nullptr;
    if (size > 1 << 14) return 0;
    set_binary("fuzz-input", data, size);
    Cell result{};
    gc::Protect keep(&result);
    if (eval("fuzz-load fuzz-input", &result) && cell::type(&result) == type_block && strict) {
        const Cell* head = series::cells_head(result.w2) + result.w1;
        std::fprintf(stderr, "mold/all is not stable:\n%s\n---\n%s\n", text_of(head).c_str(),
                     text_of(head + 1).c_str());
        std::abort();
    }
    return 0;
}
