// Hardware faults reach the runtime the way the runtime expects them: as an
// exception code and the address of the faulting instruction, handed to one
// filter. Signals are translated to those codes here.
#pragma once
#include <cstdint>

namespace vum::platform {

using FaultFilter = void (*)(uint32_t os_code, uintptr_t address);

// Installs the process-wide handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL,
// SIGTRAP and SIGINT.
void install_fault_filter(FaultFilter filter);

// Gives the calling thread an alternate signal stack and records its stack
// bounds, so that running off the end of the stack is reported as a stack
// overflow instead of an access violation.
void prepare_thread_for_faults();

// A write to a pipe whose reader has gone fails with EPIPE instead of
// killing the process, so the program can end on its own terms. (A handler,
// not SIG_IGN: an ignored signal would stay ignored in child processes.)
void keep_broken_pipes_as_errors();

// The exception code a signal stands for.
uint32_t exception_code_for(int signal, int si_code, uintptr_t fault_address);

}  // namespace vum::platform
