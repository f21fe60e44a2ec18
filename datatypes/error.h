// error!: the value of every language error. An error is an object of ten
// fields made from the standard prototype; its category and id are words of
// the error catalogue, which start-up turns into an object of category
// objects.
#pragma once
#include <cstdint>
#include <string>

#include "memory/cell.h"

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

// Makes the catalogue object and the prototype; needs the symbols and the
// global context.
void init();
bool ready();

// The catalogue object (categories as fields) and the prototype's context.
const Cell& catalogue();
uint32_t prototype();

// A new error of category and id index with up to three arguments, written
// to out (a cell that does not move: a stack cell or a protected local).
void create(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3, Cell* out);

Cell* field(const Cell* error, Field f);
void set_where(const Cell* error, const Cell* value);
// The stack field becomes the call frame where the error arose, unless a
// block is there already.
void note_stack(const Cell* error, int32_t frame_index);

// The report: "*** Script Error: ..." with its Where and Near lines.
std::string form_report(const Cell* error);

// How values appear in reports: mold (true) or form, at most limit
// characters. The datatypes install the language's own; until then a plain
// writer serves.
using WriteValueFn = void (*)(const Cell* value, bool mold, int32_t limit, std::string& out);
extern WriteValueFn write_value;

}  // namespace vum::error
