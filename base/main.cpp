#include "base/entry.h"

namespace {
// The console takes over here once it exists.
void top_level() {}
}  // namespace

int main(int argc, char** argv) { vum::entry::run(argc, argv, top_level); }
