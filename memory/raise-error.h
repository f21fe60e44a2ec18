// Raising a language error from the memory core. The error value itself is
// made by the error machinery once it exists; until then the designation
// (category and id name) is recorded and the error travels as the code of a
// language error, to the nearest guard that takes it.
#pragma once
#include <cstdint>

namespace vum::errors {

enum Category : int32_t {
    category_throw = 0,
    category_note = 1,
    category_syntax = 2,
    category_script = 3,
    category_math = 4,
    category_access = 5,
    category_reserved1 = 6,
    category_reserved2 = 7,
    category_user = 8,
    category_internal = 9,
};

struct Designation {
    int32_t category;
    const char* id;
};

extern Designation last_raised;

[[noreturn]] void raise(Category category, const char* id);

}  // namespace vum::errors
