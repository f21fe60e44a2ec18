#include "memory/interrupt.h"

#include <time.h>

#include <algorithm>

#include "base/os-services.h"
#include "memory/type-ids.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/symbols.h"

namespace vum::interrupt {

std::atomic<bool> requested{false};

void take() {
    requested.store(false);
    int32_t symbol = symbols::make("halt");
    Cell* value = context::global_value_address(symbol);
    if (!value || cell::type(value) != type_function) return;
    gc::Local function(*value);
    gc::Local name(context::load_word("halt"));
    gc::Local result({});
    call::Call(&function, &name).run(&result);
}

// Slices short enough that an interrupt meant for another thread, which
// leaves this one asleep, is seen soon.
void sleep_polling(double seconds) {
    constexpr int64_t slice_ns = 50'000'000;
    int64_t left = int64_t(platform::sleep_milliseconds_for(seconds)) * 1'000'000;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    int64_t end = int64_t(deadline.tv_sec) * 1'000'000'000 + deadline.tv_nsec + left;
    for (;;) {
        poll();
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t at = int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        if (at >= end) return;
        int64_t wake = std::min(end, at + slice_ns);
        timespec until{time_t(wake / 1'000'000'000), long(wake % 1'000'000'000)};
        // An interrupted sleep (EINTR) goes round to poll at once.
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}

}  // namespace vum::interrupt
