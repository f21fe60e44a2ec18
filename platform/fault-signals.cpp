#include "platform/fault-signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <cstddef>
#include <initializer_list>

namespace vum::platform {

namespace {
FaultFilter installed_filter = nullptr;

// Stack bounds of the thread that runs the runtime.
uintptr_t stack_low = 0;
uintptr_t stack_high = 0;

constexpr size_t alt_stack_size = 64 * 1024;

bool is_stack_overflow(uintptr_t address) {
    if (!stack_low) return false;
    // The guard region lies just below the lowest usable address; a large
    // frame can skip a little past it.
    constexpr uintptr_t slack = 1024 * 1024;
    return address < stack_low + 4096 && address + slack >= stack_low;
}

uintptr_t instruction_address(void* context) {
    auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
    return uintptr_t(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return uintptr_t(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

void on_broken_pipe(int) {}

void on_signal(int signal, siginfo_t* info, void* context) {
    uintptr_t fault = reinterpret_cast<uintptr_t>(info->si_addr);
    uint32_t code = exception_code_for(signal, info->si_code, fault);
    uintptr_t at = signal == SIGINT ? 0 : instruction_address(context);
    if (installed_filter) installed_filter(code, at);
    // No filter: fall back to the default action.
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}
}  // namespace

void keep_broken_pipes_as_errors() {
    struct sigaction action {};
    action.sa_handler = on_broken_pipe;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGPIPE, &action, nullptr);
}

uint32_t exception_code_for(int signal, int si_code, uintptr_t fault_address) {
    switch (signal) {
        case SIGSEGV:
            return is_stack_overflow(fault_address) ? 0xC00000FD : 0xC0000005;
        case SIGBUS:
            // A misaligned access, else a page that cannot be brought in
            // (a mapped file cut short).
            return si_code == BUS_ADRALN ? 0x80000002 : 0xC0000006;
        case SIGFPE:
            switch (si_code) {
                case FPE_INTDIV: return 0xC0000094;
                case FPE_INTOVF: return 0xC0000095;
                case FPE_FLTDIV: return 0xC000008E;
                case FPE_FLTOVF: return 0xC0000091;
                case FPE_FLTUND: return 0xC0000093;
                case FPE_FLTRES: return 0xC000008F;
                case FPE_FLTINV: return 0xC0000090;
                case FPE_FLTSUB: return 0xC000008C;
                default: return 0xE0000000;
            }
        case SIGILL:
            return si_code == ILL_PRVOPC ? 0xC0000096 : 0xC000001D;
        case SIGTRAP:
            return si_code == TRAP_TRACE ? 0x80000004 : 0x80000003;
        case SIGINT:
            return 0xC000013A;
        default:
            return 0xE0000000;
    }
}

void install_fault_filter(FaultFilter filter) {
    installed_filter = filter;
    struct sigaction action = {};
    action.sa_sigaction = on_signal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGINT}) sigaction(s, &action, nullptr);
}

void prepare_thread_for_faults() {
    void* alt = mmap(nullptr, alt_stack_size, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (alt != MAP_FAILED) {
        stack_t ss = {};
        ss.ss_sp = alt;
        ss.ss_size = alt_stack_size;
        sigaltstack(&ss, nullptr);
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* base = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &base, &size) == 0) {
            stack_low = reinterpret_cast<uintptr_t>(base);
            stack_high = stack_low + size;
        }
        pthread_attr_destroy(&attr);
    }
}

}  // namespace vum::platform
