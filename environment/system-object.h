// The system object from C++: reading and setting its fields by name, and
// the start-up steps that complete it once every environment source has
// run (the values only the runtime knows, the runtime's own settings read
// back from the object, and the command line).
#pragma once
#include <initializer_list>

#include "memory/cell.h"

namespace vum::services {
struct Services;
}

namespace vum::system_object {

// The cell of a field of `system`, down the named fields (none: `system`
// itself). Null when `system` or a step is missing or a step before the
// last is not an object. Good until the next allocation.
Cell* field(std::initializer_list<const char*> names);

// Sets the last named field of the object the names before it lead to,
// quietly or telling the object's change handlers (which may raise). False
// when that object is missing or lacks the field.
bool set_field(std::initializer_list<const char*> names, const Cell* value, bool notify);

// Completes the object and connects the runtime to it: system/words,
// build/date, catalog/errors, the currency list; the float switches read
// from their fields; the command line stored in script/args and taken apart by
// extract-boot-args. Nothing happens without a system object. A language
// error comes back in *error (a stable cell) with a false result.
bool start(Cell* error);

// The runtime services read from the object: the money digits, the error
// report's stack level and the scripts being run. Each answers as if the
// field were unset while there is no system object.
void offer_services(services::Services& s);

}  // namespace vum::system_object
