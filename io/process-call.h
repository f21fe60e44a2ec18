// Running another program: its command line, where its standard streams
// come from and go to, and what it leaves behind. Plain C++ over POSIX
// (posix_spawn, pipes, poll); nothing here touches a language value, so the
// native that fronts it decides what the collected bytes become.
//
// The command line is split into words as the shell would split it, but
// without expanding anything: blanks separate words, single quotes keep
// their text as it is, double quotes keep it but for the escapes \" \\ \$
// \` and an escaped line end, and a backslash outside quotes keeps the next
// character. The first word names the program, found through PATH unless it
// holds a "/". When that program does not exist, or the line cannot be
// split (an open quote), the whole line runs once more through
// `/bin/sh -c`, whose complaint then arrives on the error stream. With
// `shell` the line goes to the shell at once.
//
// A stream that is not redirected is /dev/null, the standard input
// included: the child never shares the console's own streams. Input, output
// and error are served together through poll, so a child that writes much
// before it reads, or the reverse, never blocks on a full pipe.
//
// A cancelled call stops only the child it started: the programs a shell
// line started in turn are the shell's to end (at a terminal, Ctrl-C
// reaches them all by itself, since they share the console's process
// group).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vum::process {

// Where the child's standard input comes from.
struct Source {
    enum Kind { null_device, bytes, file };
    Kind kind = null_device;
    std::string data;  // the bytes, or the file's path
};

// Where its standard output or error goes: collected here, or appended to
// the end of a file (made when missing).
struct Sink {
    enum Kind { null_device, collect, file };
    Kind kind = null_device;
    std::string path;
};

struct Request {
    std::string command;  // UTF-8, without NUL
    bool wait = false;
    bool shell = false;
    Source input;
    Sink output;
    Sink error;
    // Bytes kept of each collected stream; what comes after is read and
    // dropped, so that the child still runs to its end.
    size_t collect_limit = SIZE_MAX;
    // Polled while the call waits for the child: when it reads true the
    // child is stopped (SIGTERM, then SIGKILL when it lingers) and reaped,
    // and the call returns at once, cancelled. Null: nothing to poll.
    const std::atomic<bool>* cancel = nullptr;
};

struct Outcome {
    // The exit code when the child was waited for (128 + the signal's
    // number when a signal ended it), else its process id; -1 when it could
    // not be started or a redirection could not be set up.
    int32_t result = -1;
    std::string output;  // the collected bytes
    std::string error;
    bool output_cut = false;  // more than collect_limit bytes came
    bool error_cut = false;
    bool through_shell = false;  // the line ran through /bin/sh
    bool cancelled = false;      // the cancel flag stopped the child
};

// Runs the request. Any redirection means waiting, as it must to collect.
// A child that is not waited for is reaped when it ends, in the background,
// so it never stays a zombie.
Outcome run(const Request& request);

// The words of a command line, or nothing when a quote is left open.
std::optional<std::vector<std::string>> split_command(std::string_view line);

// A file path as a command line that splits back into that one word.
std::string quote_word(std::string_view word);

// The exit code a waitpid status stands for.
int32_t exit_code(int status);

// Text a child wrote, as the language keeps text: a leading byte-order
// mark dropped, CR LF and a lone CR made LF. In place.
void normalise_lines(std::string& text);

}  // namespace vum::process
