// When this build of the runtime was made, in the notation of date! values.
// The build writes it into a small file of its own (tools/write-build-stamp.cmake)
// whenever a source of the runtime changes, so that only that file is
// compiled again for it.
#pragma once

namespace vum::build {

extern const char* const stamp;

}  // namespace vum::build
