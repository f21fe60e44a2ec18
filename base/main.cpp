#include "base/console-output.h"
#include "base/entry.h"
#include "base/runtime-record.h"
#include "base/system-throw.h"
#include "environment/boot-loader.h"
#include "gui-console/terminal-console.h"

namespace {
// The environment first, then a script named on the command line or the
// console until its input ends.
void top_level() {
    using namespace vum;
    boot::load_environment();
    int status = rt.arg_count > 1 ? console::run_script(rt.args[1]) : console::run();
    if (status != 0) {
        output::flush();
        sys::exit_process(status);
    }
}
}  // namespace

int main(int argc, char** argv) { vum::entry::run(argc, argv, top_level); }
