#include "datatypes/registry.h"

#include <cstdlib>
#include <cstring>

#include "base/console-output.h"
#include "base/system-throw.h"
#include "base/tracked-heap.h"
#include "memory/collector.h"
#include "memory/context.h"

namespace vum::datatype {

NameEntry names[max_type_slots];
int32_t max_type_id = 0;

namespace {
Handler (*table)[row_width] = nullptr;
}

void init_tables() {
    if (!table)
        table = static_cast<Handler(*)[row_width]>(
            heap::alloc_zeroed(int32_t(sizeof(Handler) * row_width * max_type_slots)));
    std::memset(names, 0, sizeof names);
    max_type_id = 0;
}

void register_type(int32_t count, const Record& record) {
    int32_t t = record.type;
    if (t > max_type_id) max_type_id = t;
    names[t].name = record.name;
    names[t].length = int32_t(std::strlen(record.name)) - 1;
    if (gc::roots.root_block.w2 && context::global) names[t].word = context::load_word(record.name);
    int32_t slots = count - (record_words - action_count);
    if (slots != action_count) {
        using print::Item;
        print::value_line({Item::text("*** Datatype Error: invalid actions count for type: "), Item::integer(t)});
        print::value_line({Item::text("*** Found: "), Item::integer(slots)});
        print::value_line({Item::text("*** Expected: "), Item::integer(action_count)});
        sys::exit_process(0);
    }
    for (int32_t k = 1; k <= action_count; k++) {
        Handler v = record.slot(k);
        if (record.parent != 0 && v == inherit()) v = table[record.parent][k - 1];
        table[t][k - 1] = v;
    }
}

void set_handler(int32_t type, int32_t slot, Handler handler) {
    if (!is_registered(type) || slot < 1 || slot > action_count) sys::terminate(98, sys::caller_address());
    table[type][slot - 1] = handler;
}

void make_name_words() {
    for (int32_t i = 1; i <= max_type_id; i++)
        if (names[i].name) {
            names[i].word = context::load_word(names[i].name);
            // The name stands for its datatype in code and in spec blocks.
            Cell type = cell::make_datatype(uint8_t(i));
            Cell w = names[i].word;
            context::set_word_value(&w, &type);
        }
}

Handler handler(int32_t type, int32_t slot) {
    if (type <= 0 || type >= max_type_slots || slot < 1 || slot > action_count) return nullptr;
    Handler h = table[type][slot - 1];
    return h == inherit() ? nullptr : h;
}

bool is_registered(int32_t type) { return type > 0 && type < max_type_slots && names[type].name; }

int32_t find_by_name(const char* name) {
    for (int32_t i = 1; i <= max_type_id; i++)
        if (names[i].name && !std::strcmp(names[i].name, name)) return i;
    return 0;
}

}  // namespace vum::datatype
