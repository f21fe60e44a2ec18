// Opening a URL or a file with the program the desktop chooses for it,
// through xdg-open (found on PATH).
#pragma once
#include <string>

namespace vum::platform {

enum class OpenOutcome {
    opened,     // the opener ended well, or was still at work after the grace time
    no_opener,  // xdg-open could not be started
    failed,     // it ended with a failure status or a signal
};

// Hands the target to xdg-open, with standard input and output on
// /dev/null, standard error shared (its own complaint is the clearest
// report there is) and a session of its own, so that a console's Ctrl-C
// does not reach a browser it started. Waits for it at most
// `grace_milliseconds`: an opener that goes on running (a browser in the
// terminal, say) is left at work and reaped when it ends, never left a
// zombie.
OpenOutcome open_on_desktop(const std::string& target, int grace_milliseconds = 2000);

}  // namespace vum::platform
