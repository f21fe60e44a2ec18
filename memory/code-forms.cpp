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

std::vector<Form*> table(1, nullptr);
namespace {
std::vector<uint32_t> free_slots;
uint32_t live = 0;
}  // namespace

Form* make(uint32_t node) {
    if (live >= max_forms) return nullptr;
    uint32_t index;
    if (!free_slots.empty()) {
        index = free_slots.back();
        free_slots.pop_back();
    } else {
        index = uint32_t(table.size());
        table.push_back(nullptr);
    }
    Form* f = new Form;
    f->node = node;
    f->epoch = series::code_epoch;
    if (mode == Mode::verify) f->snapshot = snapshot(node);
    table[index] = f;
    live++;
    series::set_form(node, index);
    return f;
}

void release(uint32_t index, uint32_t node) {
    if (index == 0 || index >= table.size() || !table[index] || table[index]->node != node) return;
    delete table[index];
    table[index] = nullptr;
    free_slots.push_back(index);
    live--;
}

uint32_t live_count() { return live; }

}  // namespace vum::forms
