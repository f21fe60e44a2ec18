// The runtime runs on a thread of its own whose machine stack is large
// enough that the language's own depth limits, not a segfault, are what
// deep recursion meets.
#pragma once
#include <cstddef>

namespace vum::platform {

constexpr size_t runtime_stack_size = size_t(256) << 20;

// Runs fn(arg) on a new thread with the given stack and waits for it. When
// the thread cannot be made, fn runs on the calling thread.
void run_on_large_stack(size_t stack_size, void (*fn)(void*), void* arg);

}  // namespace vum::platform
