// The datatype registry: each datatype's name, parent and table of 62
// action handlers. All polymorphism of the runtime goes through it: an
// action looks up slot k of its value's type and calls the handler there.
// Inheritance is resolved once, at registration, by copying the parent's
// row, so parents register before their children.
#pragma once
#include <cstdint>

#include "datatypes/type-ids.h"
#include "memory/cell.h"

namespace vum::datatype {

constexpr int32_t action_count = 62;
constexpr int32_t row_width = 256;  // room reserved per type

// A handler address; each slot's handlers have the signature engine/actions.h
// gives for that slot, and are stored cast to this.
using Handler = void (*)();

// In a registration record: take the parent's handler for this slot.
inline Handler inherit() { return reinterpret_cast<Handler>(intptr_t(-1)); }

struct NameEntry {
    const char* name;  // with its "!"
    int32_t length;    // without it
    Cell word;         // the name's word, once made
};

struct Record {
    int32_t type;
    int32_t parent;
    const char* name;
    Handler slots[action_count];  // slot k at index k - 1
};

extern NameEntry names[max_type_slots];
extern int32_t max_type_id;

void init_tables();
// count is the number of words the record holds (65 for a complete one).
void register_type(int32_t count, const Record& record);
void make_name_words();

Handler handler(int32_t type, int32_t slot);
bool is_registered(int32_t type);
// The type id a datatype name (with its "!") stands for, or 0.
int32_t find_by_name(const char* name);

}  // namespace vum::datatype
