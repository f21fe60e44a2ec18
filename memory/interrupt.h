// Ctrl-C at a terminal: the signal handler only sets `requested`; the
// evaluator polls it at safe points (each expression step and each entry
// into a block, which every loop's body makes) and then calls the global
// `halt`, which returns to the console's prompt. One load and one branch a
// step while nothing is pending.
//
// Natives that can run long without evaluating anything (parse's loops,
// sorts, sleeping, waiting for a child or a server) poll it themselves; the
// platform layers that block (process calls, HTTP transfers) take its
// address as their cancel flag, stop what they wait for when it reads true,
// and leave the halt to the native that called them.
#pragma once
#include <atomic>

namespace vum::interrupt {

// Lock-free, so a signal handler may store to it.
extern std::atomic<bool> requested;
static_assert(std::atomic<bool>::is_always_lock_free);

// Clears the request and halts; does not return when `halt` is a function.
void take();

inline void poll() {
    if (requested.load(std::memory_order_relaxed)) [[unlikely]] take();
}

// Sleeps for the seconds given (at most 2^31 - 1 milliseconds), polling as
// it goes: an interrupt cuts the sleep short and halts.
void sleep_polling(double seconds);

}  // namespace vum::interrupt
