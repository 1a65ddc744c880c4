#include "cli/input.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "cli/utf8.h"
#include "crypto/channel_key.h"
#include "crypto/encoding.h"
#include "gate/os_error.h"

extern char** environ;

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

// One try of a stty program; true when it ran and exited with status 0.
bool run_stty(const std::string& program, const char* arg) {
  static constexpr std::array<std::string_view, 4> kLoaderVariables = {
      "LD_PRELOAD", "LD_LIBRARY_PATH", "DYLD_INSERT_LIBRARIES", "DYLD_LIBRARY_PATH"};
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const std::string_view key = entry.substr(0, entry.find('='));
    if (std::find(kLoaderVariables.begin(), kLoaderVariables.end(), key) == kLoaderVariables.end()) {
      envp.push_back(*e);
    }
  }
  envp.push_back(nullptr);
  std::string arg0 = program;
  std::string arg1 = arg;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};

  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0) return false;
  int status = 0;
  for (;;) {
    const pid_t r = ::waitpid(pid, &status, 0);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The terminal's state from before echo went off, for the signal handler.
termios g_terminal_before{};

// Async-signal-safe: only tcsetattr, sigaction, sigprocmask and raise.
void restore_terminal_and_end(int sig) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &g_terminal_before);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  ::sigaction(sig, &default_action, nullptr);
  // The signal is blocked while its handler runs: raised and unblocked, it
  // ends the process here, and the parent sees death by that signal.
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, sig);
  ::raise(sig);
  ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
}

// While it lives, the signals that end a prompt (^C, a kill, the terminal
// going away) first put the terminal on standard input back as it was when
// the guard was made, so an interrupted hidden prompt leaves no terminal
// without echo behind. The previous handlers come back when it goes.
class TerminalRestoredOnSignal {
 public:
  TerminalRestoredOnSignal() {
    if (::tcgetattr(STDIN_FILENO, &g_terminal_before) != 0) return;
    struct sigaction action {};
    action.sa_handler = restore_terminal_and_end;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals) sigaddset(&action.sa_mask, sig);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
      // A signal the process was told to ignore (nohup) stays ignored.
      if (::sigaction(kSignals[i], nullptr, &previous_[i]) != 0 || previous_[i].sa_handler == SIG_IGN) continue;
      ::sigaction(kSignals[i], &action, nullptr);
    }
    installed_ = true;
  }
  ~TerminalRestoredOnSignal() {
    if (!installed_) return;
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
  }
  TerminalRestoredOnSignal(const TerminalRestoredOnSignal&) = delete;
  TerminalRestoredOnSignal& operator=(const TerminalRestoredOnSignal&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
  bool installed_ = false;
};

}  // namespace

std::expected<SecureString, CliError> read_file_bounded(int fd, std::string_view name) {
  auto text = bounded_text(fd, name);
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
          make_error(err::PL_2111, "opening " + p + ": " + os_error_text(errno)));
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

std::optional<std::expected<SecureString, CliError>> read_stdin_line_without_echo(std::string_view label) {
  const TerminalRestoredOnSignal restored_on_signal;
  if (!set_terminal_echo(false)) return std::nullopt;
  auto line = read_stdin_line(label);
  set_terminal_echo(true);
  return line;
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

bool set_terminal_echo(bool on) {
  static const std::array<std::string, 2> kSttyPrograms = {"/bin/stty", "/usr/bin/stty"};
  return set_terminal_echo_using(on, kSttyPrograms);
}

bool set_terminal_echo_using(bool on, std::span<const std::string> programs) {
  const char* arg = on ? "echo" : "-echo";
  for (const auto& program : programs) {
    if (run_stty(program, arg)) return true;
  }
  return false;
}

}  // namespace pellucor
