// A program run as a job of an interactive shell on a pseudo-terminal, for
// tests of what it does with the terminal under job control: started in
// front of the shell or behind it, stopped, sent to the background, brought
// to the foreground, while the shell holds the terminal in modes of its own.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/pty.h"

namespace pellucor::test {

struct JobOptions {
  // program, args, argv0, clear_env, env and cwd are used; the job's stdin
  // and stderr are the terminal, its stdout a pipe.
  RunOptions run;
  // Started behind the shell, which keeps the terminal (`cmd &`).
  bool in_background = false;
  // The shell holds the terminal in a line editor's modes (canonical mode,
  // echo and CR-to-NL off) when it starts the job.
  bool shell_line_editing = false;
};

// ShellJob forks a "shell": it leads a new session whose controlling
// terminal is a fresh pseudo-terminal and starts the program there in a
// process group of its own, made the terminal's foreground group unless it
// starts in the background. The shell then obeys the test's commands. The
// program may dump a core (its limit is raised), so a test can see one.
// Everything the terminal shows is collected into `screen`.
class ShellJob {
 public:
  enum Command : char {
    Wait = 'w',          // the job's wait status once it stops or ends
    TakeTerminal = 't',  // the shell's group takes the terminal (after a stop)
    Foreground = 'f',    // the terminal goes to the job, which is continued (fg)
    Background = 'b',    // the job is continued behind the shell (bg)
    LineEditing = 'e',   // the shell sets its line editor's modes
    UserModes = 'u',     // the shell puts back the modes the user had
  };

  explicit ShellJob(const JobOptions& options);
  ~ShellJob();
  ShellJob(const ShellJob&) = delete;
  ShellJob& operator=(const ShellJob&) = delete;

  bool started() const { return job_ > 0; }
  pid_t pid() const { return job_; }
  int master() const { return tty_.master(); }
  // The terminal's modes before the shell changed anything: what the user has.
  const termios& user_modes() const { return user_modes_; }
  // The terminal's modes now.
  termios modes() const;

  std::string screen;

  // Sends one command to the shell and returns its answer (the wait status
  // for Wait, 0 or an errno value for the others).
  std::optional<int> tell(Command command);

  // The job's wait status once it stopped or ended; a test failure (and 0)
  // when it did neither within the deadline.
  int await_change();
  bool ended() const { return ended_; }

  // True once the terminal's echo is `on`, false when it did not get there
  // within a generous deadline.
  bool await_echo(bool on);
  // Reads the terminal into `screen` until `text` shows at or after `from`.
  bool await_screen(std::string_view text, std::size_t from = 0);

  void type(std::string_view text);

  // What the job wrote on stdout; read once it ended.
  std::string stdout_text();

 private:
  std::optional<int> answer();

  PseudoTerminal tty_;
  termios user_modes_{};
  pid_t shell_ = -1;
  pid_t job_ = -1;
  int out_ = -1;
  int commands_ = -1;
  int answers_ = -1;
  bool ended_ = false;
};

// same_modes tells whether two sets of terminal modes are the same (flags
// and control characters; speeds are not compared).
bool same_modes(const termios& a, const termios& b);
// modes_text shows the flags that tests look at, such as "ECHO=0 ICANON=1 ICRNL=1".
std::string modes_text(const termios& t);

}  // namespace pellucor::test
