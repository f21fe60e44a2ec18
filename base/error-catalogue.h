// The error catalogue: every language error's category, id and message, as
// environment/error-catalogue.vum writes them. The build turns that file into
// the table below (tools/catalogue-to-cpp.py) until the runtime can load its
// boot data itself.
//
// Raisers name an error by category index and id; an id's index is its place
// among the category's fields, where code is 0 and type is 1, so the first id
// has index 2 and an error's code is category index * 100 + id index - 2.
#pragma once
#include <cstdint>

namespace vum::error_catalogue {

// A message is a sequence of parts: literal text, or the name of an error
// field ("arg1", "arg2", "arg3" ...) whose value the report puts in its place.
// An optional field (a plain word in the catalogue, where the others are
// get-words) is left out of the report while it is none: the further detail
// that only some raisers have, such as the system's reason for a failure.
struct MessagePart {
    bool is_field;
    const char* text;
    bool optional = false;
};

struct Entry {
    const char* id;
    const MessagePart* parts;
    int32_t part_count;
};

struct Category {
    const char* name;
    const char* title;   // the report's heading, such as "Script Error"
    int32_t code;        // index * 100
    const Entry* ids;    // null when the category has no ids
    int32_t id_count;
};

extern const Category categories[];
extern const int32_t category_count;

// (category index, id word) -> id index (ids start at 2), or -1 when the
// category index is out of range or the category has no such id. Words
// compare case-insensitively, as the language's words do.
int32_t find_id(int32_t category, const char* id);
// The index of the category with that name, or -1.
int32_t find_category(const char* name);

}  // namespace vum::error_catalogue
