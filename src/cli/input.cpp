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

// The hidden prompt's state, shared with its signal handlers. One prompt at a
// time; everything the handlers touch is set before they are installed.
termios g_terminal_before{};    // the terminal as it was before the prompt
termios g_terminal_hidden{};    // the same with echo off
volatile sig_atomic_t g_prompt_waiting = 0;  // a hidden prompt wants input
volatile sig_atomic_t g_input_hidden = 0;    // echo is off by our doing
const char* g_prompt_text = nullptr;         // written again after a stop
std::size_t g_prompt_size = 0;

// Ending the prompt, hiding again after a stop, and stopping the job.
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

// Everything below down to the handlers is async-signal-safe: tcgetpgrp,
// getpgrp, tcsetattr, write, sigaction, sigprocmask, raise and the plain
// system calls setrlimit and prctl.

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

// Called with the prompt signals blocked. False when the terminal refused.
bool hide_input() {
  if (!terminal_is_ours()) return true;  // hidden once the job is in front
  // Marked first: a handler that runs right after the change must know it.
  g_input_hidden = 1;
  if (set_terminal(g_terminal_hidden)) return true;
  g_input_hidden = 0;
  return false;
}

// Called with the prompt signals blocked.
void show_input() {
  if (g_input_hidden == 0) return;
  set_terminal(g_terminal_before);
  g_input_hidden = 0;
}

// Once the job runs again in the foreground, the input is hidden again. If
// it had been shown for the stop, the prompt is written again too: the
// terminal dropped whatever half of a line had been typed.
void hide_input_again() {
  if (g_prompt_waiting == 0 || !terminal_is_ours()) return;
  const bool was_shown = g_input_hidden == 0;
  if (!hide_input() || !was_shown) return;
  for (std::size_t done = 0; done < g_prompt_size;) {
    const ssize_t n = ::write(STDERR_FILENO, g_prompt_text + done, g_prompt_size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
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

void show_input_and_end(int sig) {
  show_input();
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

void show_input_and_stop(int sig) {
  const int saved_errno = errno;
  show_input();
  take_default_action(sig);  // stopped here until continued
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, sig);
  ::sigprocmask(SIG_BLOCK, &just_this, nullptr);
  const struct sigaction again = handler_action(show_input_and_stop);
  ::sigaction(sig, &again, nullptr);
  // Also when the stop was dropped (a job nobody controls cannot stop).
  hide_input_again();
  errno = saved_errno;
}

void hide_input_on_continue(int) {
  const int saved_errno = errno;
  hide_input_again();
  errno = saved_errno;
}

}  // namespace

HiddenTerminalInput::HiddenTerminalInput(std::string_view prompt) {
  if (::tcgetattr(STDIN_FILENO, &g_terminal_before) != 0) return;
  g_terminal_hidden = g_terminal_before;
  g_terminal_hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  g_prompt_text = prompt.data();
  g_prompt_size = prompt.size();

  // No prompt signal is handled until the state is complete, and none
  // finds echo off without knowing it.
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
        ending ? show_input_and_end : stopping ? show_input_and_stop : hide_input_on_continue);
    ::sigaction(sig, &action, nullptr);
  }
  g_prompt_waiting = 1;
  hidden_ = hide_input();
  installed_ = true;
  if (!hidden_) put_back();
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

HiddenTerminalInput::~HiddenTerminalInput() {
  if (!installed_) return;
  const sigset_t blocked = prompt_signal_set();
  sigset_t before;
  ::sigprocmask(SIG_BLOCK, &blocked, &before);
  put_back();
  // A signal that came meanwhile now meets the earlier handler.
  ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

// Called with the prompt signals blocked.
void HiddenTerminalInput::put_back() {
  g_prompt_waiting = 0;
  show_input();
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

std::expected<SecureString, CliError> read_stdin_line(std::string_view label) {
  SecureString line;
  // Start on the heap, so no prefix of the line is left behind in the
  // string's inline buffer when it grows.
  line.reserve(128);
  for (;;) {
    unsigned char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(make_error(
          err::PL_2006, "reading " + std::string(label) + ": " + os_error_text(errno)));
    }
    if (n == 0 || c == '\n') break;
    if (line.size() >= MAX_LINE_BYTES) {
      wipe_bytes(&c, 1);
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

std::optional<std::expected<SecureString, CliError>> read_stdin_line_without_echo(
    std::string_view prompt, std::string_view label) {
  write_stderr(prompt);
  const HiddenTerminalInput hidden(prompt);
  if (!hidden) return std::nullopt;
  return read_stdin_line(label);
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
