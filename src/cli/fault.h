// Internal faults: states the program cannot handle and does not unwind from.
//
// A fault is either a broken invariant or a failed write to stdout/stderr
// ("failed printing to stdout: Broken pipe (os error 32)"). A write that failed
// because the reader went away (a pager or `head` that stopped reading) ends
// the process quietly: with status 0 while the command is succeeding, with
// status 1 once the run has failed (its error line, or anything after it, met
// the closed pipe). Any other failed write stops the process at once with
// status 1, without a core dump that could hold the secrets the command was
// printing: one error line for stdout ("PL-2000: failed printing to stdout:
// No space left on device (os error 28)"), nothing for stderr. A broken
// invariant prints its message with its source location on stderr and
// aborts.
#pragma once

#include <source_location>
#include <string_view>

namespace pellucor {

// fault never returns: it exits quietly for a broken pipe, else reports
// the message and where it was raised on stderr and aborts.
[[noreturn]] void fault(std::string_view message,
                        std::source_location where = std::source_location::current());

// output_fault is the fault of a failed write to descriptor `fd` (1 for
// stdout, 2 for stderr), `message` its "failed printing to ..." text: quiet
// status 0 for a broken pipe, else status 1 after the error line (stdout) or
// nothing more (stderr).
[[noreturn]] void output_fault(int fd, std::string_view message);

// mark_run_failed records that the run has failed and its failure is being
// reported: from then on every way the process ends has status 1, also the
// quiet end of a broken pipe. run_has_failed tells whether it was called.
// Async-signal-safe.
void mark_run_failed() noexcept;
bool run_has_failed() noexcept;

// is_broken_pipe_message is true for the fault text of a write to stdout or
// stderr that failed because the pipe was closed.
bool is_broken_pipe_message(std::string_view message);

// install_fault_handler routes exceptions that nobody caught (a broken
// invariant in a library) through the same report and abort; an allocation
// failure that nobody caught, or that left a noexcept function such as a
// destructor, ends as report_out_of_memory and status 1. The handler itself
// allocates nothing before it knows which it is.
void install_fault_handler();

// report_out_of_memory prints the error line of a failed allocation,
// "PL-2110: out of memory", through the normal error printer, or as a fixed
// line when even that cannot allocate.
void report_out_of_memory() noexcept;

}  // namespace pellucor
