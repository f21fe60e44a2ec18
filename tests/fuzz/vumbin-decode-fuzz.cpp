// Decodes arbitrary bytes as a saved serialised-value file: as they are, and,
// when they do not start with the magic, behind a header whose flags byte is
// their first byte (so that most inputs reach the records). Whatever decoded
// is then molded, formed and copied deep by the language. Refusals
// (vb-invalid-record, invalid-data, no-codec and the like) are expected
// outcomes; a crash, a sanitizer report or a hang is a fault.
#include "io/vumbin-decoder.h"
#include "io/vumbin-format.h"
#include "tests/fuzz/fuzz-runtime.h"

const char* const fuzz::setup_source = R"(
fuzz-touch: func [b] [
    try [mold/all b]
    try [mold b]
    try [form b]
    try [copy/deep b]
    try [b = copy/deep b]
]
)";

namespace {

void decode_and_touch(const uint8_t* data, size_t size) {
    using namespace vum;
    Cell block;
    cell::make_none(&block);
    gc::Protect keep(&block);
    block_actions::make_at(&block, 4);
    vumbin::set_mode(vumbin::Mode::saved);
    {
        // A language error needs a try frame to be caught by.
        Cell word = context::load_word("try");
        stack::Mark mark;
        stack::push_native_frame(&word);
        stack::push_try_frame(&word);
        uint32_t caught = sys::catch_codes(sys::catch_guard, [&] {
            vumbin::decode(data, int64_t(size), &block, true, nullptr);
        });
        if (caught) sys::clear_thrown();
    }
    fuzz::set_global("fuzz-decoded", &block);
    Cell result{};
    gc::Protect keep_result(&result);
    fuzz::eval("fuzz-touch fuzz-decoded", &result);
    Cell none;
    cell::make_none(&none);
    fuzz::set_global("fuzz-decoded", &none);
}

}  // namespace

int fuzz::fuzz_one_input(const uint8_t* data, size_t size) {
    if (size > 1 << 16) return 0;
    decode_and_touch(data, size);
    if (size > 0 && (size < 6 || std::memcmp(data, vum::vumbin::magic, 6) != 0)) {
        std::string file(vum::vumbin::magic, 6);
        file += char(vum::vumbin::version_written);
        file.append(reinterpret_cast<const char*>(data), size);
        decode_and_touch(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    }
    return 0;
}
