#include "cli/fault.h"

#include <cxxabi.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>

#include "cli/terminal.h"
#include "crypto/errors.h"
#include "gate/write_fully.h"

namespace pellucor {

namespace {

// Set once the run's failure is being reported; read by the quiet exit.
volatile std::sig_atomic_t g_run_failed = 0;

// The path of the source file from the project's src/ folder on.
std::string_view short_source_path(std::string_view path) {
  const std::size_t at = path.rfind("/src/");
  return at == std::string_view::npos ? path : path.substr(at + 1);
}

// Best effort: the report goes straight to descriptor 2, and a failure to
// write it cannot be reported anywhere.
void write_report(std::string_view text) { (void)write_fully(2, text); }

// The fault report: where, then what, in pieces of `message` written one
// after the other. It builds no text, so that it also serves a handler that
// runs because memory ran out.
[[noreturn]] void report_and_abort(std::string_view location,
                                   std::initializer_list<std::string_view> message) {
  write_report("pellucor-cli: internal fault at ");
  write_report(location);
  write_report(":\n");
  for (std::string_view piece : message) write_report(piece);
  write_report("\n");
  std::abort();
}

std::string location_text(const std::source_location& where) {
  std::string location(short_source_path(where.file_name()));
  location += ':';
  location += std::to_string(where.line());
  location += ':';
  location += std::to_string(where.column());
  return location;
}

// The end of a run whose output met a closed pipe: nothing more is printed.
// A run that succeeded so far keeps its status 0 (its reader chose to stop
// reading); a run that failed keeps its 1 whether or not its error line got
// through.
[[noreturn]] void quiet_exit() {
  std::fflush(stdout);
  ::_exit(g_run_failed != 0 ? 1 : 0);
}

[[noreturn]] void on_terminate() {
  // Nothing here allocates before the exception is known not to be an
  // allocation failure: when memory runs out, every allocation after the
  // first failed one may fail too. The runtime has begun handling the
  // exception before it calls this handler, also for one that left a
  // noexcept function (a destructor that allocates), so a bare rethrow
  // reaches it without allocating a second exception object as
  // std::rethrow_exception does.
  if (abi::__cxa_current_exception_type() != nullptr) {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      // Not a broken invariant: the machine ran out of memory. One error
      // line and status 1, like any failure, and no core dump.
      report_out_of_memory();
      std::fflush(stdout);
      ::_exit(1);
    } catch (const std::exception& e) {
      report_and_abort("std::terminate", {"uncaught exception: ", e.what()});
    } catch (...) {
    }
  }
  report_and_abort("std::terminate", {"uncaught exception"});
}

}  // namespace

void mark_run_failed() noexcept { g_run_failed = 1; }

bool run_has_failed() noexcept { return g_run_failed != 0; }

bool is_broken_pipe_message(std::string_view message) {
  const bool is_print_failure = message.find("failed printing to stdout") != std::string_view::npos ||
                                message.find("failed printing to stderr") != std::string_view::npos;
  if (!is_print_failure) return false;
  for (std::string_view marker :
       {"Broken pipe", "broken pipe", "os error 32", "os error 109", "pipe is being closed"}) {
    if (message.find(marker) != std::string_view::npos) return true;
  }
  return false;
}

void fault(std::string_view message, std::source_location where) {
  if (is_broken_pipe_message(message)) quiet_exit();
  report_and_abort(location_text(where), {message});
}

void output_fault(int fd, std::string_view message) {
  if (is_broken_pipe_message(message)) quiet_exit();
  // A failed stdout write is a failure of the command like any other: its one
  // error line on stderr. Should stderr fail as well, the nested fault ends
  // the process with the same status. A failed stderr write has nowhere to be
  // reported.
  if (fd != 2) print_error_line(format_cli_error(new_argument_error(message)));
  ::_exit(1);
}

void install_fault_handler() { std::set_terminate(on_terminate); }

void report_out_of_memory() noexcept {
  mark_run_failed();
  try {
    print_error_line(format_cli_error(make_error(err::PL_2110, "out of memory")));
  } catch (const std::bad_alloc&) {
    write_report("PL-2110: out of memory\n");
  }
}

}  // namespace pellucor
