// Ctrl-C at a terminal: the signal handler only sets `requested`; the
// evaluator polls it at safe points (each expression step and each entry
// into a block, which every loop's body makes) and then calls the global
// `halt`, which returns to the console's prompt. One load and one branch a
// step while nothing is pending.
#pragma once
#include <csignal>

namespace vum::interrupt {

extern volatile std::sig_atomic_t requested;

// Clears the request and halts; does not return when `halt` is a function.
void take();

inline void poll() {
    if (requested) [[unlikely]] take();
}

}  // namespace vum::interrupt
