#include "base/console-output.h"
#include "base/entry.h"
#include "base/system-throw.h"
// main composes the program: the environment and the console sit at the top
// of the layering, and this is the one place base/ names them.
#include "environment/boot-image.h"
#include "environment/boot-loader.h"
#include "gui-console/script-argument.h"
#include "gui-console/terminal-console.h"

namespace {
// The environment first, then a script named on the command line or the
// console until its input ends.
void top_level() {
    using namespace vum;
    boot::load_environment(console::register_console_routines);
    console::start();
    int status = console::run_command_line();
    if (status < 0) status = console::run();
    if (status != 0) {
        output::flush();
        sys::exit_process(status);
    }
}
}  // namespace

int main(int argc, char** argv) {
    vum::boot::ImageBytes image = vum::boot::start_up_image();
    vum::entry::run(argc, argv, top_level, image.data, image.size);
}
