#include "environment/source-runner.h"

#include <cstring>

#include "base/system-throw.h"
#include "engine/lexer.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::source {

namespace {
bool is_header_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool spelled(const Cell* word, const char* text) {
    int32_t length = 0;
    const char* s = symbols::text(int32_t(word->w2), &length);
    return s && length == int32_t(std::strlen(text)) && std::memcmp(s, text, size_t(length)) == 0;
}

// The cell at index i of a series value counted from its head, or null.
const Cell* element(const Cell* series, int32_t i) {
    if (i >= series::length_from_head(series)) return nullptr;
    return series::cells_head(series->w2) + series->w1 + i;
}
}  // namespace

int64_t find_header(std::string_view text) {
    for (size_t at = text.find("Vum"); at != std::string_view::npos; at = text.find("Vum", at + 1)) {
        size_t p = at + 3;
        if (text.substr(p, 7) == "/System") p += 7;
        while (p < text.size() && is_header_space(text[p])) ++p;
        if (p < text.size() && text[p] == '[') return int64_t(at);
    }
    return -1;
}

bool guarded(const char* where, const std::function<void()>& fn, Cell* error) {
    Cell name = context::load_word(where);
    stack::Mark mark;
    stack::push_native_frame(&name);
    stack::push_try_frame(&name);
    uint32_t code = sys::catch_codes(sys::catch_guard, fn);
    if (code == 0) return true;
    if (code != sys::code_language_error) sys::rethrow();
    sys::clear_thrown();
    *error = *stack::top_cell();
    return false;
}

bool load(std::string_view text, Cell* out) {
    cell::make_none(out);
    return guarded("transcode", [&] { lexer::load_utf8(text.data(), int32_t(text.size()), out); }, out);
}

Header skip_header(Cell* block) {
    const Cell* first = element(block, 0);
    if (!first) return Header::missing;
    if (cell::type(first) == type_path) {
        const Cell* head = element(first, 0);
        const Cell* next = element(first, 1);
        if (head && next && cell::type(head) == type_word && cell::type(next) == type_word &&
            spelled(head, "Vum") && spelled(next, "System"))
            return Header::system;
        return Header::missing;
    }
    if (cell::type(first) != type_word || !spelled(first, "Vum")) return Header::missing;
    const Cell* second = element(block, 1);
    if (!second || cell::type(second) != type_block) return Header::missing;
    block->w1 += 2;
    return Header::found;
}

}  // namespace vum::source
