#include "cli/input.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <array>

#include "cli/terminal.h"
#include "cli/utf8.h"
#include "crypto/channel_key.h"
#include "crypto/encoding.h"
#include "gate/os_error.h"
#include "gate/vault_text.h"
#include "gate/write_fully.h"

namespace pellucor {
namespace {

constexpr std::size_t kFirstReadBytes = 8192;

}  // namespace

std::expected<SecureBytes, int> read_fd_capped(int fd) {
  constexpr std::size_t limit = MAX_INPUT_BYTES + 1;
  SecureBytes buf;
  std::size_t chunk = kFirstReadBytes;
  while (buf.size() < limit) {
    const std::size_t want = std::min(chunk, limit - buf.size());
    const std::size_t old = buf.size();
    buf.reserve(old + want);
    buf.resize(old + want);
    const ssize_t n = ::read(fd, buf.data() + old, want);
    if (n < 0) {
      const int e = errno;
      buf.resize(old);
      if (e == EINTR) continue;
      return std::unexpected(e);
    }
    buf.resize(old + static_cast<std::size_t>(n));
    if (n == 0) break;
    if (static_cast<std::size_t>(n) == want) chunk *= 2;
  }
  return buf;
}

CliError input_too_large_error(std::string_view name) {
  return make_error(err::PL_2110, std::string(name) + " exceeds " + std::to_string(MAX_INPUT_BYTES) +
                                      " bytes (refuse to buffer unbounded input)");
}

namespace {

std::expected<SecureString, CliError> bounded_text(int fd, std::string_view name) {
  auto bytes = read_fd_capped(fd);
  if (!bytes) {
    return std::unexpected(make_error(
        err::PL_2111, "reading " + std::string(name) + ": " + os_error_text(bytes.error())));
  }
  if (bytes->size() > MAX_INPUT_BYTES) return std::unexpected(input_too_large_error(name));
  if (auto bad = utf8_error_text(*bytes)) {
    return std::unexpected(
        make_error(err::PL_2000, std::string(name) + ": not valid UTF-8: " + *bad));
  }
  return SecureString(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

void trim_trailing_newlines(SecureString& text) {
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == '\r' || text[end - 1] == '\n')) --end;
  // Overwrite the cut bytes before shrinking, so no copy of them lingers.
  for (std::size_t i = end; i < text.size(); ++i) text[i] = '\0';
  text.resize(end);
}

// The prompt's state, shared with its signal handlers. One prompt at a time;
// everything the handlers touch is set before they are installed, and the
// two copies of the terminal's modes are only written and read with the
// prompt signals blocked.
termios g_terminal_before{};   // the terminal as the user had it
termios g_terminal_changed{};  // the same as the prompt wants it
volatile sig_atomic_t g_prompt_mode = 0;       // a TerminalInputMode
volatile sig_atomic_t g_prompt_waiting = 0;    // a prompt wants input
volatile sig_atomic_t g_input_changed = 0;     // the terminal is changed by our doing
volatile sig_atomic_t g_prompt_restarts = 0;   // times the prompt was written again
volatile sig_atomic_t g_end_of_input_char = -1;  // the user's end-of-input character
const char* g_prompt_text = nullptr;           // written again after a stop
std::size_t g_prompt_size = 0;

// Ending the prompt, changing the terminal again after a stop, and stopping
// the job.
constexpr std::array<int, 4> kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::array<int, 3> kStoppingSignals = {SIGTSTP, SIGTTIN, SIGTTOU};
constexpr std::array<int, 8> kPromptSignals = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,
                                               SIGTSTP, SIGTTIN, SIGTTOU, SIGCONT};

sigset_t prompt_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kPromptSignals) sigaddset(&set, sig);
  return set;
}

// Everything below down to the handlers is async-signal-safe: tcgetattr,
// tcgetpgrp, getpgrp, tcsetattr, write, sigaction, sigprocmask, raise and
// the plain system calls setrlimit and prctl.

// The local modes the prompt's mode switches off; the terminal shows any of
// them on when someone else has set it since.
tcflag_t changed_local_modes() {
  return g_prompt_mode == static_cast<sig_atomic_t>(TerminalInputMode::WholeLine)
             ? static_cast<tcflag_t>(ICANON)
             : static_cast<tcflag_t>(ECHO);
}

bool set_terminal(const termios& state) {
  while (::tcsetattr(STDIN_FILENO, TCSANOW, &state) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

// Only the foreground job may change the terminal: a job in the background
// that did would take echo away from the shell in front of it. A terminal
// that is not our controlling one (no process group) has no such owner.
bool terminal_is_ours() {
  const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
  return foreground < 0 || foreground == ::getpgrp();
}

// Called with the prompt signals blocked. False when the terminal refused;
// `made` tells whether the terminal was set just now.
bool change_terminal(bool& made) {
  made = false;
  if (!terminal_is_ours()) return true;  // changed once the job is in front
  termios now{};
  if (::tcgetattr(STDIN_FILENO, &now) != 0) return false;
  // Still as we left it: nothing to do. Otherwise someone set the terminal
  // since (a shell, while the job was stopped by SIGSTOP), and what it holds
  // now is what the user has.
  if (g_input_changed != 0 && (now.c_lflag & changed_local_modes()) == 0) return true;
  // Read now, with the job in front, never earlier: a shell that held the
  // terminal in its own line-editing modes until it gave the terminal to
  // this job has put the user's modes back by now.
  g_terminal_before = now;
  g_terminal_changed = now;
  g_end_of_input_char = now.c_cc[VEOF];
  if (g_prompt_mode == static_cast<sig_atomic_t>(TerminalInputMode::WholeLine)) {
    g_terminal_changed.c_lflag &= ~static_cast<tcflag_t>(ICANON);
    g_terminal_changed.c_cc[VMIN] = 1;
    g_terminal_changed.c_cc[VTIME] = 0;
  } else {
    g_terminal_changed.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  // Marked first: a handler that runs right after the change must know it.
  g_input_changed = 1;
  made = set_terminal(g_terminal_changed);
  if (!made) g_input_changed = 0;
  return made;
}

// Called with the prompt signals blocked. A terminal some other job owns by
// now (the process was stopped by SIGSTOP and sent behind) is left to it.
void restore_terminal() {
  if (g_input_changed == 0) return;
  if (terminal_is_ours()) set_terminal(g_terminal_before);
  g_input_changed = 0;
}

// Once the job runs again in the foreground, the terminal is changed again.
// If it had to be, the prompt is written again too: the terminal dropped
// whatever half of a line had been typed.
void change_terminal_again() {
  if (g_prompt_waiting == 0 || !terminal_is_ours()) return;
  bool made = false;
  if (!change_terminal(made) || !made) return;
  g_prompt_restarts = g_prompt_restarts + 1;
  (void)write_fully(STDERR_FILENO, g_prompt_text, g_prompt_size);  // async-signal-safe: write and poll
}

// Raises `sig` under its default action and lets it through. The handler's
// mask blocks it while the handler runs, so the action happens here.
void take_default_action(int sig) {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(sig, &default_action, nullptr);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, sig);
  ::raise(sig);
  ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
}

void restore_terminal_and_end(int sig) {
  restore_terminal();
  if (sig == SIGQUIT) {
    // Its default action writes a core, and the core would hold the key
    // typed so far. The process still ends by the signal, without one.
    const struct rlimit no_core = {0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
#ifdef __linux__
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
  }
  take_default_action(sig);
}

struct sigaction handler_action(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  action.sa_mask = prompt_signal_set();
  return action;
}

void restore_terminal_and_stop(int sig) {
  const int saved_errno = errno;
  restore_terminal();
  take_default_action(sig);  // stopped here until continued
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, sig);
  ::sigprocmask(SIG_BLOCK, &just_this, nullptr);
  const struct sigaction again = handler_action(restore_terminal_and_stop);
  ::sigaction(sig, &again, nullptr);
  // Also when the stop was dropped (a job nobody controls cannot stop).
  change_terminal_again();
  errno = saved_errno;
}

void change_terminal_on_continue(int) {
  const int saved_errno = errno;
  change_terminal_again();
  errno = saved_errno;
}

}  // namespace

TerminalInput::TerminalInput(TerminalInputMode mode, std::string_view prompt) {
  // Only a look at whether there is a terminal: its modes are read once the
  // signals are blocked, and again whenever they are changed.
  termios probe{};
  if (::tcgetattr(STDIN_FILENO, &probe) != 0) return;
  g_prompt_mode = static_cast<sig_atomic_t>(mode);
  g_prompt_text = prompt.data();
  g_prompt_size = prompt.size();

  // No prompt signal is handled until the state is complete, and none
  // finds the terminal changed without knowing it.
  const sigset_t blocked = prompt_signal_set();
  sigset_t before;
  ::sigprocmask(SIG_BLOCK, &blocked, &before);
  for (std::size_t i = 0; i < kPromptSignals.size(); ++i) {
    const int sig = kPromptSignals[i];
    // A signal the process was told to ignore (nohup) stays ignored.
    if (::sigaction(sig, nullptr, &previous_[i]) != 0 || previous_[i].sa_handler == SIG_IGN) continue;
    const bool ending = std::find(kEndingSignals.begin(), kEndingSignals.end(), sig) != kEndingSignals.end();
    const bool stopping =
        std::find(kStoppingSignals.begin(), kStoppingSignals.end(), sig) != kStoppingSignals.end();
    const struct sigaction action = handler_action(
        ending ? restore_terminal_and_end : stopping ? restore_terminal_and_stop : change_terminal_on_continue);
    ::sigaction(sig, &action, nullptr);
  }
  g_prompt_waiting = 1;
  bool made = false;
  changed_ = change_terminal(made);
  installed_ = true;
  if (!changed_) put_back();
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

TerminalInput::~TerminalInput() {
  if (!installed_) return;
  const sigset_t blocked = prompt_signal_set();
  sigset_t before;
  ::sigprocmask(SIG_BLOCK, &blocked, &before);
  put_back();
  // A signal that came meanwhile now meets the earlier handler.
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

// Called with the prompt signals blocked.
void TerminalInput::put_back() {
  g_prompt_waiting = 0;
  restore_terminal();
  for (std::size_t i = 0; i < kPromptSignals.size(); ++i) {
    if (previous_[i].sa_handler != SIG_IGN) ::sigaction(kPromptSignals[i], &previous_[i], nullptr);
  }
  installed_ = false;
}

std::expected<SecureString, CliError> read_file_bounded(int fd, std::string_view name) {
  // The name is a path the user gave: it must not break the error line.
  auto text = bounded_text(fd, single_line_text(name));
  ::close(fd);
  return text;
}

std::expected<SecureString, CliError> read_stdin_bounded() {
  return bounded_text(STDIN_FILENO, "stdin");
}

std::expected<SecureString, CliError> read_text_source(std::string_view path) {
  // A trailing line ending is cut from standard input as from a file: a
  // secret piped in with echo must not gain a newline on the way.
  std::expected<SecureString, CliError> text;
  if (path == "-") {
    text = read_stdin_bounded();
  } else {
    const std::string p(path);
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return std::unexpected(
          make_error(err::PL_2111, "opening " + single_line_text(p) + ": " + os_error_text(errno)));
    }
    text = read_file_bounded(fd, path);
  }
  if (text) trim_trailing_newlines(*text);
  return text;
}

namespace {

// How a line is read: from any standard input, or from the terminal under a
// TerminalInput in the WholeLine mode, where the terminal no longer ends
// lines itself.
enum class LineSource { Stdin, WholeLineTerminal };

std::expected<SecureString, CliError> read_line(std::string_view label, LineSource source) {
  const bool at_terminal = source == LineSource::WholeLineTerminal;
  SecureString line;
  // Start on the heap, so no prefix of the line is left behind in the
  // string's inline buffer when it grows.
  line.reserve(128);
  sig_atomic_t restarts = g_prompt_restarts;
  for (;;) {
    unsigned char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(make_error(
          err::PL_2006, "reading " + std::string(label) + ": " + os_error_text(errno)));
    }
    // The prompt was written again after a stop: the user starts afresh.
    if (at_terminal && n > 0 && restarts != g_prompt_restarts) {
      restarts = g_prompt_restarts;
      line.wipe();
      line.clear();
    }
    if (n == 0 || c == '\n') break;
    if (at_terminal) {
      // Enter gives a carriage return where the user turned CR-to-NL off.
      // The terminal now hands its end-of-input character (Ctrl-D) over as
      // a byte; it ends the line as it would have ended the input.
      const int end_of_input = g_end_of_input_char;
      if (c == '\r' || (end_of_input != _POSIX_VDISABLE && c == end_of_input)) break;
    }
    if (line.size() >= MAX_LINE_BYTES) {
      wipe_bytes(&c, 1);
      // The rest of an over-long paste would otherwise go to the shell
      // once the terminal is given back.
      if (at_terminal && terminal_is_ours()) ::tcflush(STDIN_FILENO, TCIFLUSH);
      return std::unexpected(make_error(err::PL_2006, std::string(label) + " exceeds " +
                                                          std::to_string(MAX_LINE_BYTES) + " bytes"));
    }
    line.push_back(static_cast<char>(c));
    wipe_bytes(&c, 1);
  }
  const auto* data = reinterpret_cast<const std::uint8_t*>(line.data());
  if (auto bad = utf8_error_text({data, line.size()})) {
    return std::unexpected(
        make_error(err::PL_2006, std::string(label) + ": not valid UTF-8: " + *bad));
  }
  return line;
}

}  // namespace

std::expected<SecureString, CliError> read_stdin_line(std::string_view label) {
  return read_line(label, LineSource::Stdin);
}

std::optional<std::expected<SecureString, CliError>> read_stdin_line_without_echo(
    std::string_view prompt, std::string_view label) {
  write_stderr(prompt);
  const HiddenTerminalInput hidden(prompt);
  if (!hidden) return std::nullopt;
  return read_line(label, LineSource::Stdin);
}

std::optional<std::expected<SecureString, CliError>> read_terminal_line(std::string_view prompt,
                                                                        std::string_view label) {
  // The prompt comes once the terminal is changed: a paste that came before
  // would still be cut by the terminal's line buffer.
  const TerminalInput whole_line(TerminalInputMode::WholeLine, prompt);
  write_stderr(prompt);
  if (!whole_line) return std::nullopt;
  return read_line(label, LineSource::WholeLineTerminal);
}

std::expected<SecureString, CliError> read_secret_stdin() {
  if (::isatty(STDIN_FILENO) == 0) return read_stdin_bounded();
  // No prompt of its own: the caller's usage says what is read. Echo stays
  // off until end of input (Ctrl-D), as the read ends there.
  const HiddenTerminalInput hidden("");
  return read_stdin_bounded();
}

std::expected<SecureString, CliError> read_secret_source(std::string_view path) {
  if (path != "-" || ::isatty(STDIN_FILENO) == 0) return read_text_source(path);
  // As read_secret_stdin, with read_text_source's trimming of the end.
  const HiddenTerminalInput hidden("");
  return read_text_source(path);
}

std::expected<std::string, CliError> option_value_string(ArgParser& args, std::string_view label) {
  auto value = args.option_value();
  if (!value) return std::unexpected(error_from_arg_error(value.error()));
  if (!is_valid_utf8(std::string_view(*value))) {
    return std::unexpected(new_argument_error(std::string(label) + ": not valid UTF-8"));
  }
  return std::move(*value);
}

std::expected<std::string, CliError> option_value_string_twin(ArgParser& args,
                                                              std::string_view label) {
  return option_value_string(args, label);
}

std::expected<std::string, CliError> parse_node_key_option(std::string_view label,
                                                           std::string_view text) {
  const std::string_view trimmed = trim_white_space(text);
  if (auto key = parse_channel_key(trimmed); !key) {
    return std::unexpected(new_argument_error(std::string(label) + ": " +
                                              std::string(format_channel_key_error(key.error()))));
  }
  return std::string(trimmed);
}

}  // namespace pellucor
