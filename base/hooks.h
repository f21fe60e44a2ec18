// Two lists of output redirections. The value hooks receive what the
// language's print and prin produce; the text hooks receive the systems
// layer's own console writes. The console registers one of each, so output
// reaches its window without the printing code knowing where it goes.
#pragma once
#include <cstdint>

namespace vum {
struct Cell;
}

namespace vum::hooks {

using ValueHook = void (*)(const Cell* value, int32_t newline);
using TextHook = void (*)(const char* text, int32_t length, int32_t unused);

template <class Fn>
struct List {
    Fn* entries;
    int32_t count;
    int32_t capacity;
};

void init();
void register_hooks(ValueHook value, TextHook text);
void unregister(ValueHook value, TextHook text);
void run_value(const Cell* value, int32_t newline);
void run_output(const char* text, int32_t length, int32_t unused);

const List<ValueHook>& value_hooks();
const List<TextHook>& text_hooks();

}  // namespace vum::hooks
