// Floating-point unit state that every conversion relies on: 53-bit
// precision, round to nearest, all exceptions masked.
#pragma once

namespace vum::platform {

void reset_float_unit();

}  // namespace vum::platform
