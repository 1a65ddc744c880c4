// Running a program under test: posix_spawn with chosen argv, stdin bytes,
// environment changes and standard streams; collects stdout and stderr and
// the exit status, and kills the program (its whole process group) when it
// does not end within the timeout.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pellucor::test {

// How the child's stdout is connected.
enum class StdoutMode {
  Pipe,        // captured into RunResult::out
  Closed,      // descriptor 1 closed when the program starts
  BrokenPipe,  // a pipe whose reading end is already closed: writes fail with EPIPE
  Terminal,    // a pseudo-terminal (isatty(1) is true); output captured into out
  Full,        // /dev/full: writes fail with ENOSPC
  // Captured like Pipe, but the program's end has O_NONBLOCK set (as a
  // parent may leave it), and the runner reads nothing until the pipe is
  // full or the program has ended: a reader slower than the writer.
  NonBlockingPipe,
};

// How the child's stderr is connected (unless close_stderr closes it).
enum class StderrMode {
  Pipe,        // captured into RunResult::err
  BrokenPipe,  // a pipe whose reading end is already closed: writes fail with EPIPE
  Full,        // /dev/full: writes fail with ENOSPC
};

struct RunOptions {
  std::string program;              // path, or a name looked up in PATH
  std::vector<std::string> args;    // arguments after argv[0]
  std::optional<std::string> argv0; // argv[0]; defaults to `program`

  std::string stdin_data;           // bytes written to stdin, then it is closed
  bool close_stdin = false;         // start with descriptor 0 closed instead

  StdoutMode stdout_mode = StdoutMode::Pipe;
  bool close_stderr = false;        // start with descriptor 2 closed
  StderrMode stderr_mode = StderrMode::Pipe;

  // Environment: the test's own environment (or none when clear_env), then
  // these changes: a value sets the variable, std::nullopt removes it.
  bool clear_env = false;
  std::map<std::string, std::optional<std::string>> env;

  std::optional<std::string> cwd;   // working directory of the child

  std::chrono::milliseconds timeout{30000};
};

// child_environment is the environment a child started with `o` gets: the
// test's own (unless clear_env), then o.env's changes, as NAME=value texts.
std::vector<std::string> child_environment(const RunOptions& o);

struct RunResult {
  int exit_code = -1;      // the status when the program exited normally, else -1
  int term_signal = 0;     // the signal that ended it, else 0
  bool core_dumped = false;  // ended by a signal and the kernel wrote a core dump
  bool timed_out = false;  // killed after the timeout
  std::string out;         // captured stdout (Pipe and Terminal modes)
  std::string err;         // captured stderr

  bool exited_with(int code) const { return term_signal == 0 && exit_code == code; }
};

// run_process runs the program to its end (or the timeout) and returns what
// it did. A failure to start it is reported as exit_code 127 with the reason
// in `err`.
RunResult run_process(const RunOptions& options);

// run_processes_together starts the programs at the same moment, as nearly as
// threads allow, and returns their results in the order given: for tests of
// processes that race each other.
std::vector<RunResult> run_processes_together(const std::vector<RunOptions>& options);

// The program that sets resource limits for the one it starts.
inline constexpr const char* kPrlimitPath = "/usr/bin/prlimit";

// prlimit_available tells whether kPrlimitPath can be run (a test that needs
// it skips without).
bool prlimit_available();

// under_prlimit returns `options` changed to start their program through
// prlimit with `limits` (such as "--fsize=1024"), set before the program
// runs.
RunOptions under_prlimit(RunOptions options, const std::vector<std::string>& limits);

// without_dac_override returns `options` changed to start their program with
// CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH taken away for good: file modes
// then bind it as they bind an ordinary user, even when the tests run as
// root. The launcher ends with status 126 when it cannot drop them.
RunOptions without_dac_override(RunOptions options);

#ifdef PELLUCOR_CLI_PATH
// cli_options returns RunOptions for the built pellucor-cli with `args`.
inline RunOptions cli_options(std::vector<std::string> args) {
  RunOptions o;
  o.program = PELLUCOR_CLI_PATH;
  o.args = std::move(args);
  return o;
}
#endif

}  // namespace pellucor::test
