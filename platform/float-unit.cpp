#include "platform/float-unit.h"

#include <cstdint>

namespace vum::platform {

void reset_float_unit() {
#if defined(__x86_64__) || defined(__i386__)
    // Doubles are computed in SSE registers; the x87 unit still serves long
    // double, so it gets the same 53-bit, round-to-nearest, masked state.
    uint16_t control = 0x27F;
    __asm__ volatile("fninit\n\tfldcw %0" : : "m"(control));
    uint32_t mxcsr = 0x1F80;  // all exceptions masked, round to nearest
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
#endif
}

}  // namespace vum::platform
