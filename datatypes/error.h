// error!: the value of every language error. An error is an object of ten
// fields made from the standard prototype; its category and id are words of
// the error catalogue, which start-up turns into an object of category
// objects. The datatype (id 34) shares object!'s cell layout and takes
// reflect, copy and select from it.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"

namespace vum::services {
struct Services;
}

namespace vum::error {

enum Field : int32_t {
    field_code,
    field_type,
    field_id,
    field_arg1,
    field_arg2,
    field_arg3,
    field_near,
    field_where,
    field_stack,
    field_files,
    field_count
};

constexpr uint32_t class_id = 1;

// Part limits of the report: each message argument, and the Near and Files
// lines.
constexpr int32_t argument_limit = 80;
constexpr int32_t near_limit = 40;

// Makes the prototype and takes the catalogue object: the one the boot
// image brought (a cell of the root block), or, without an image or when
// its catalogue does not have the shape of the table the runtime was
// built with, one made from that table. Needs the symbols and the global
// context.
void init(const Cell* from_image = nullptr);
bool ready();
// The error-values service (memory/raise-error.h), for the composition root.
void offer_services(services::Services& s);

// The catalogue object (categories as fields) and the prototype's context.
const Cell& catalogue();
uint32_t prototype();

// A new error of category and id index with up to three arguments, written
// to out (a cell that does not move: a stack cell or a protected local).
void create(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3, Cell* out);

// The error made from a value as `make error!` makes it: an integer code, a
// [category id] block, or a string (a user error carrying it). Raises the
// language's errors for anything else.
void make(const Cell* spec, Cell* out);

Cell* field(const Cell* error, Field f);
void set_where(const Cell* error, const Cell* value);
// The stack field becomes the call frame where the error arose, unless a
// block is there already; then the files field takes the scripts being
// run, when there are any. May allocate.
void note_stack(const Cell* error, int32_t frame_index);

// The symbol ids of the category and id words.
int32_t get_type(const Cell* error);
int32_t get_id(const Cell* error);
constexpr int32_t stack_field_index() { return field_stack; }

// The report: "*** Script Error: ..." with its Where and Near lines (and
// Stack and Files when there is something to show), no trailing newline.
// write_report appends it to a string! node and returns the characters
// written; an error whose category or id the catalogue does not know is
// turned into internal invalid-error naming the unknown word.
int32_t write_report(const Cell* error, uint32_t buffer);
std::string form_report(const Cell* error);

// How values of datatypes that have not registered appear in reports: mold
// (true) or form, at most limit characters. Registered datatypes write
// through their own form and mold.
using WriteValueFn = void (*)(const Cell* value, bool mold, int32_t limit, std::string& out);
extern WriteValueFn write_value;

}  // namespace vum::error

namespace vum::error_type {

// Registers error! under object!; works before object! exists too (the
// inherited slots are then empty).
void init();

}  // namespace vum::error_type
