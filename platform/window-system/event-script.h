// An event script for the GUI console (VUM_GUI_EVENTS=FILE): a line each
// of what a person would do, fed to the window system whenever its loop is
// about to wait, so each line meets the windows as the lines before it
// left them, painted.
//
//   type "1 + 2"        keys for each character (text the keyboard lacks
//                       comes as typed text)
//   key enter           one key; modifiers before it: key shift+insert
//   click X Y           move, press and release the left button
//   down X Y / move X Y / up X Y
//   wheel N             notches, positive away from the user
//   clipboard "text"    the clipboard's content from now on
//   resize WxH          the window manager resizes the window
//   close               the user asks to close the window
//   wait MS             the clock moves on (virtual without a display)
//   dump                the screen's text to standard output
//   shot FILE.png       the window's back buffer as a PNG file
//
// Strings are written as the language writes them: "..." with ^ escapes,
// or {...}. Points are in the client area of the active top-level (or of
// the topmost shown one), which is also the window the other lines act on.
// Blank lines and lines starting with ";" are skipped. At the end every
// window closes and the exit hook is called with 0; a line that does not
// read or cannot be done is reported on standard error with its number and
// ends the script the same way, with 1.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window-system/drivers/display-driver.h"

namespace vum::win::events {

struct Command {
    enum class Kind { type, key, click, down, move, up, wheel, clipboard, resize, close, wait, dump, shot };
    Kind kind = Kind::dump;
    std::string text{};      // type, clipboard: the string; shot: the file
    uint32_t key = 0;        // key: the key code and modifiers
    uint32_t modifiers = 0;
    Point point{};           // click, down, move, up: the point; resize: width, height
    int64_t number = 0;      // wheel: notches; wait: milliseconds
    int32_t line = 0;        // in the script, from 1
};

// One line of a script. Nothing (and no error) for a blank or comment line;
// false with the reason when it does not read.
bool parse_line(std::string_view text, std::optional<Command>& command, std::string& error);

// A string in the language's syntax at the start of `text`: the number of
// bytes it takes, or 0 with the reason.
size_t read_string(std::string_view text, std::string& out, std::string& error);

// The raw events an input command makes on a surface, as a display would
// report them (none for the others). `pointer` is where the pointer is in
// the surface: the commands that move it move it.
std::vector<RawEvent> input_events(const Command& command, SurfaceId surface, Point& pointer);

// Ends the process when a script ends (status 0) or fails (1). The runtime
// sets its own; with none set the window system stops and the process
// exits. A hook that returns leaves the running loop to end by a quit.
using ExitHook = void (*)(int status);
void set_exit_hook(ExitHook hook);

// Writes what the screen shows for `dump`; the GUI console sets its own.
// With none set, each shown window's text is a line of standard output.
using DumpHook = void (*)();
void set_dump_hook(DumpHook hook);
// The default dump.
void dump_window_texts();

// Runs a script's text in the running window system from the next wait on
// (`name` is for messages). A line that does not read is reported and ends
// the script at once.
void begin(std::string_view text, const std::string& name);
// What start does: begins the script VUM_GUI_EVENTS names, if it does.
void begin_from_environment();
// True while a script runs.
bool scripted();

// The loop calls this when it would wait up to `timeout_ms` (-1: no limit),
// whichever driver it waits on; so may any place that polls for input while
// work runs. Runs lines up to one whose events the loop must take first,
// and returns true when the loop should look for messages again before
// waiting; else a `wait` line may have shortened the timeout.
bool feed(int64_t& timeout_ms);

}  // namespace vum::win::events
