// Raising language errors. Every error the runtime raises goes through one
// routine: it builds an error! value from a category, an id and up to three
// arguments, tells the tracer, and throws it to the nearest try frame of
// the value stack.
#pragma once
#include <cstdint>
#include <string>

#include "generated/error-ids.h"
#include "memory/cell.h"

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
// The generated ids carry the catalogue's category order: the two must agree.
static_assert(err::Throw{0}.category == category_throw && err::Note{0}.category == category_note &&
              err::Syntax{0}.category == category_syntax && err::Script{0}.category == category_script &&
              err::Math{0}.category == category_math && err::Access{0}.category == category_access &&
              err::Reserved1{0}.category == category_reserved1 &&
              err::Reserved2{0}.category == category_reserved2 && err::User{0}.category == category_user &&
              err::Internal{0}.category == category_internal);

// The last error raised, by category and id name (for diagnostics and tests).
struct Designation {
    int32_t category;
    const char* id;
};
extern Designation last_raised;

// By the id's generated name (err::script::expect_arg, from the catalogue),
// so that a name the catalogue lacks does not compile.
[[noreturn]] void raise(err::Id id, const Cell* arg1 = nullptr, const Cell* arg2 = nullptr,
                        const Cell* arg3 = nullptr);
// By category and id index (the id's field position in its category).
[[noreturn]] void make_and_throw(int32_t category, int32_t id_index, const Cell* arg1 = nullptr,
                                 const Cell* arg2 = nullptr, const Cell* arg3 = nullptr);
// script invalid-refine-arg: the refinement named (without its slash) and
// the value it was given.
[[noreturn]] void raise_refine_arg(const char* refinement, const Cell* value);

// script bad-to-arg: the target type and the value that cannot become one.
[[noreturn]] void raise_bad_to(uint8_t target, const Cell* value);
// script out-of-range with the value.
[[noreturn]] void raise_out_of_range(const Cell* value);

// script bad-make-arg with two values.
[[noreturn]] void raise_2_args(const Cell* a, const Cell* b);

// What this layer needs of error! values, which the error! datatype above
// it makes: raising builds one, the value stack names the frame it arose in
// and reports one that nothing catches. They are a runtime service
// (services::current.error_values), usable once error::init has made the
// prototype and set values_ready; until then raising ends the process with
// the systems-layer throw.
struct ErrorValues {
    // A new error of category and id index with up to three arguments,
    // written to out (a cell that does not move).
    void (*create)(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3,
                   Cell* out);
    void (*set_where)(const Cell* error, const Cell* value);
    void (*note_stack)(const Cell* error, int32_t frame_index);
    // The report, as the console shows it, without a trailing newline.
    std::string (*form_report)(const Cell* error);
};
inline bool values_ready = false;

}  // namespace vum::errors
