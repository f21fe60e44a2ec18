#include "base/hooks.h"

#include <cstring>

#include "base/tracked-heap.h"

namespace vum::hooks {

namespace {
constexpr int32_t growth = 5;

List<ValueHook> values{nullptr, 0, 0};
List<TextHook> texts{nullptr, 0, 0};

template <class Fn>
void make(List<Fn>& l) {
    l.entries = static_cast<Fn*>(heap::alloc(growth * int32_t(sizeof(Fn))));
    l.count = 0;
    l.capacity = growth;
}

template <class Fn>
void append(List<Fn>& l, Fn fn) {
    if (!fn) return;
    if (!l.entries) make(l);
    if (l.count == l.capacity) {
        int32_t capacity = l.capacity + growth;
        auto* grown = static_cast<Fn*>(heap::alloc(capacity * int32_t(sizeof(Fn))));
        std::memcpy(grown, l.entries, sizeof(Fn) * size_t(l.count));
        heap::free(l.entries);
        l.entries = grown;
        l.capacity = capacity;
    }
    l.entries[l.count++] = fn;
}

template <class Fn>
void remove_first(List<Fn>& l, Fn fn) {
    if (!fn) return;
    for (int32_t i = 0; i < l.count; i++) {
        if (l.entries[i] != fn) continue;
        std::memmove(l.entries + i, l.entries + i + 1, sizeof(Fn) * size_t(l.count - i - 1));
        l.count--;
        return;
    }
}
}  // namespace

void init() {
    make(values);
    make(texts);
}

void register_hooks(ValueHook value, TextHook text) {
    append(values, value);
    append(texts, text);
}

void unregister(ValueHook value, TextHook text) {
    remove_first(values, value);
    remove_first(texts, text);
}

void run_value(const Cell* value, int32_t newline) {
    for (int32_t i = 0; i < values.count; i++) values.entries[i](value, newline);
}

void run_output(const char* text, int32_t length, int32_t unused) {
    for (int32_t i = 0; i < texts.count; i++) texts.entries[i](text, length, unused);
}

const List<ValueHook>& value_hooks() { return values; }
const List<TextHook>& text_hooks() { return texts; }

}  // namespace vum::hooks
