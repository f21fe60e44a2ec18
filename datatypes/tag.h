// tag! (id 44) and email! (id 45): text kinds that keep their characters as
// any string! does and inherit its storage, editing and searching. A tag is
// written between angle brackets; an email is written bare, and its path
// fields user and host read and replace the text on either side of its
// first "@".
#pragma once
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::tag {

// Pushes a copy of the cell on the value stack (for compiled code).
Cell* push(const Cell* value);

// "<", the characters from the position as plain text, then ">": the form
// and the molded form are the same text. A part limit counts the brackets.
int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit);
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);

}  // namespace vum::tag

namespace vum::email {

Cell* push(const Cell* value);

// The text as it is: no quotes, no escapes.
int32_t mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent);

// user and host read a new string! of the text before and after the first
// "@" from the position (all of it is the user part when there is no "@");
// setting them replaces that part of the email itself. An integer element
// picks or pokes a character as a string! path does.
void eval_path(const actions::PathStep& step, Cell* result);

}  // namespace vum::email

namespace vum::tag_type {
// Registers tag!; string! registers first.
void init();
}  // namespace vum::tag_type

namespace vum::email_type {
// Registers email!; string! registers first.
void init();
}  // namespace vum::email_type
