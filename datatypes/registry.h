// The datatype registry: each datatype's name, parent and table of 62
// action handlers. All polymorphism of the runtime goes through it: an
// action looks up slot k of its value's type and calls the handler there.
// Inheritance is resolved once, at registration, by copying the parent's
// row, so parents register before their children.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/type-ids.h"

namespace vum::datatype {

constexpr int32_t action_count = 62;
constexpr int32_t row_width = 256;  // room reserved per type
// The words of a registration record: type, parent and name, then one
// handler a slot.
constexpr int32_t record_words = 3 + action_count;

// A handler address; each slot's handlers have the signature datatypes/actions.h
// gives for that slot, and are stored cast to this.
using Handler = void (*)();

// In a registration record: take the parent's handler for this slot.
inline Handler inherit() { return reinterpret_cast<Handler>(intptr_t(-1)); }

struct NameEntry {
    const char* name;  // with its "!"
    int32_t length;    // without it
    Cell word;         // the name's word, once made
};

// A type's row as registered. Its slots are filled only through
// actions::Row, whose setters take each slot's own handler signature, so
// the erased addresses here always match what dispatch casts them back to.
class Record {
public:
    int32_t type;
    int32_t parent;
    const char* name;
    Handler slot(int32_t k) const { return slots_[k - 1]; }

protected:
    Record(int32_t type, int32_t parent, const char* name) : type(type), parent(parent), name(name) {}
    Handler slots_[action_count] = {};  // slot k at index k - 1
};

extern NameEntry names[max_type_slots];
extern int32_t max_type_id;

void init_tables();
// count is the number of words the record holds (record_words for a
// complete one); any other count ends the process.
void register_type(int32_t count, const Record& record);
inline void register_type(const Record& record) { register_type(record_words, record); }
// Puts a handler in one slot of a registered type (actions::fill, typed).
void set_handler(int32_t type, int32_t slot, Handler handler);
void make_name_words();

Handler handler(int32_t type, int32_t slot);
bool is_registered(int32_t type);
// The type id a datatype name (with its "!") stands for, or 0.
int32_t find_by_name(const char* name);

}  // namespace vum::datatype
