// Start-up of the environment written in the language itself: its modules
// run in load order before the console starts. The program takes them from
// its boot image (boot-image.h), decoded at start-up; a program without one
// loads each source embedded at build time (tools/embed-sources.py)
// through the lexer.
#pragma once
#include <cstdint>
#include <string>

namespace vum::boot {

struct Source {
    const char* name;  // the file, relative to the source tree
    const char* text;  // UTF-8
    int32_t length;    // bytes
};

// The generated table, in load order, then a null entry.
extern const Source embedded_sources[];
extern const int32_t embedded_source_count;

// Loads and evaluates one source (its header, when it has one, is skipped).
// True when it ran; false with the error's report in *report.
bool run_source(const Source& source, std::string* report);

// Registers routines by name for the sources' boot-routine (function.h).
using RegisterRoutines = void (*)();

// Registers the C++ code of the environment's routines, and then through
// register_front_end_routines that of the front end above it (the
// console's sources are modules of the environment, but their routines
// live in gui-console/, which this floor does not see); then runs every
// module (the image's, or the embedded sources) in order, with the routine
// maker in reach (routine-maker.h); the functions made meanwhile are
// compiled ones (function.h). Then it completes the system object
// (system-object.h). A failure is reported on standard error with the
// file's name and ends the process with status 1: a runtime without its
// environment is of no use.
void load_environment(RegisterRoutines register_front_end_routines);

}  // namespace vum::boot
