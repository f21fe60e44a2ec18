// When this build of the runtime was made, in the notation of date! values.
#pragma once

namespace vum::build {

constexpr const char* stamp = "18-Nov-2026/19:55:49";

}  // namespace vum::build
