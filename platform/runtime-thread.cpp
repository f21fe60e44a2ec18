#include "platform/runtime-thread.h"

#include <pthread.h>

namespace vum::platform {

namespace {
struct Start {
    void (*fn)(void*);
    void* arg;
};

void* trampoline(void* p) {
    auto* start = static_cast<Start*>(p);
    start->fn(start->arg);
    return nullptr;
}
}  // namespace

void run_on_large_stack(size_t stack_size, void (*fn)(void*), void* arg) {
    Start start{fn, arg};
    pthread_attr_t attr;
    pthread_t thread;
    bool made = pthread_attr_init(&attr) == 0 &&
                pthread_attr_setstacksize(&attr, stack_size) == 0 &&
                pthread_create(&thread, &attr, trampoline, &start) == 0;
    pthread_attr_destroy(&attr);
    if (!made) {
        fn(arg);
        return;
    }
    pthread_join(thread, nullptr);
}

}  // namespace vum::platform
