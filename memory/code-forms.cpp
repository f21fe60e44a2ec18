#include "memory/code-forms.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "memory/series.h"

namespace vum::forms {

Mode mode = Mode::on;

bool parse_mode(const char* text, Mode* out) {
    static const struct {
        const char* name;
        Mode mode;
    } names[] = {{"off", Mode::off}, {"on", Mode::on}, {"forced", Mode::forced}, {"verify", Mode::verify}};
    for (const auto& n : names)
        if (std::strcmp(text, n.name) == 0) {
            *out = n.mode;
            return true;
        }
    return false;
}

void init() {
    mode = Mode::on;
    const char* text = std::getenv("VUM_FORMS");
    if (!text || !*text) return;
    if (!parse_mode(text, &mode))
        std::fprintf(stderr, "VUM_FORMS: \"%s\" is not a setting (off, on, forced or verify); forms stay on\n", text);
}

Snapshot snapshot(uint32_t node) {
    Snapshot s;
    s.node = node;
    const SeriesBuffer* b = nodes::buffer(node);
    const Cell* head = series::cells_head(node);
    s.cells.assign(head, head + b->cell_count());
    return s;
}

bool matches(const Snapshot& s, std::string* why) {
    const SeriesBuffer* b = nodes::buffer(s.node);
    size_t n = b->cell_count();
    if (n != s.cells.size()) {
        if (why) *why = "its length went from " + std::to_string(s.cells.size()) + " to " + std::to_string(n) + " cells";
        return false;
    }
    const Cell* now = series::cells_head(s.node);
    for (size_t i = 0; i < n; i++) {
        if (std::memcmp(&now[i], &s.cells[i], sizeof(Cell)) == 0) continue;
        if (why) *why = "cell " + std::to_string(i) + " changed";
        return false;
    }
    return true;
}

void check_unchanged(const Snapshot& s, const char* where) {
    std::string why;
    if (matches(s, &why)) return;
    std::fprintf(stderr, "*** Internal: block %u was written past the write barrier (%s), found at %s\n", s.node,
                 why.c_str(), where);
    std::abort();
}

}  // namespace vum::forms
