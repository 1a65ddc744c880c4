// Bounded readers for files and standard input, and the hidden prompt.
//
// Every input the program buffers whole goes through these readers: they cap
// the size and refuse anything larger instead of truncating it, and they
// accept only valid UTF-8. The results are wiping strings, because the same
// readers carry secret field files and the enrolment key.
#pragma once

#include <signal.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/encoding.h"  // utf8_error_text
#include "crypto/errors.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

// The most bytes accepted from one file, or from standard input read whole.
inline constexpr std::size_t MAX_INPUT_BYTES = 262144;
// The most bytes accepted in one line of standard input, line feed not counted.
inline constexpr std::size_t MAX_LINE_BYTES = 65536;

// read_fd_capped reads `fd` (left open) until end of input or until one byte
// more than MAX_INPUT_BYTES, growing its buffer as data arrives, so an endless
// input costs no more than that. A result longer than MAX_INPUT_BYTES means
// the input was too large. Fails with the errno of a failed read.
std::expected<SecureBytes, int> read_fd_capped(int fd);

// input_too_large_error is PL-2110 "{name} exceeds 262144 bytes (refuse to
// buffer unbounded input)".
CliError input_too_large_error(std::string_view name);

// read_file_bounded reads the whole of `fd` (which it always closes) named
// `name` in messages. Fails with PL-2111 "reading {name}: {os error}",
// PL-2110 "{name} exceeds 262144 bytes (refuse to buffer unbounded input)"
// or PL-2000 "{name}: not valid UTF-8: {utf-8 error}".
std::expected<SecureString, CliError> read_file_bounded(int fd, std::string_view name);

// read_stdin_bounded reads the whole of standard input, exactly as given,
// under the name "stdin"; failures as for read_file_bounded.
std::expected<SecureString, CliError> read_stdin_bounded();

// read_text_source reads `path` ("-" is standard input) and returns its
// content with every trailing carriage return and line feed removed.
// Fails with PL-2111 "opening {path}: {os error}" or as read_file_bounded.
std::expected<SecureString, CliError> read_text_source(std::string_view path);

// read_stdin_line reads one line of standard input one byte at a time, so
// that the rest stays unread for the next reader, and returns it without its
// line feed (a carriage return before it is kept). End of input ends the
// line; nothing read gives an empty text. Fails with PL-2006 "reading
// {label}: {os error}", "{label} exceeds 65536 bytes" or "{label}: not valid
// UTF-8: {utf-8 error}".
std::expected<SecureString, CliError> read_stdin_line(std::string_view label);

// How a TerminalInput changes the terminal on standard input while it lives.
enum class TerminalInputMode {
  // Echo off: what is typed is not shown.
  Hidden,
  // Canonical mode off, echo as the user has it: bytes are handed over as
  // they come, so a line longer than the terminal's own line buffer (about
  // 4 KiB) arrives whole instead of being cut there.
  WholeLine,
};

// TerminalInput changes the terminal on standard input as its mode says
// while it lives, and on every way out (a return, an exception) puts the
// terminal back exactly as the user had it. Meanwhile:
// - SIGINT, SIGTERM, SIGHUP and SIGQUIT put the terminal back, then end the
//   process by that signal (SIGQUIT without a core, which could hold a key);
// - SIGTSTP, SIGTTIN and SIGTTOU put it back before the job stops, and once
//   the job is continued in the foreground (SIGCONT) the terminal is changed
//   again and `prompt` is written again to standard error;
// - a job in the background leaves the terminal alone until it is in front.
// The terminal's modes are read each time they are changed, with the job in
// front: what is put back is what the user had then, never a copy taken
// while a shell in front of the job held the terminal in modes of its own.
// Signals the process ignores stay ignored; the earlier handlers come back
// when it goes. The terminal is changed in-process (tcsetattr), so no window
// is left in which the process ends while a child still changes it.
// One at a time; `prompt` must outlive it.
class TerminalInput {
 public:
  TerminalInput(TerminalInputMode mode, std::string_view prompt);
  ~TerminalInput();
  TerminalInput(const TerminalInput&) = delete;
  TerminalInput& operator=(const TerminalInput&) = delete;

  // False when the terminal could not be changed (standard input is not a
  // terminal, or the terminal refused): nothing was changed.
  explicit operator bool() const { return changed_; }

 private:
  void put_back();

  std::array<struct sigaction, 8> previous_{};
  bool installed_ = false;
  bool changed_ = false;
};

// HiddenTerminalInput keeps what is typed at the terminal on standard input
// from being echoed while it lives (a TerminalInput in the Hidden mode).
class HiddenTerminalInput : public TerminalInput {
 public:
  explicit HiddenTerminalInput(std::string_view prompt)
      : TerminalInput(TerminalInputMode::Hidden, prompt) {}
};

// read_stdin_line_without_echo writes `prompt` to standard error, then reads
// one line with read_stdin_line under a HiddenTerminalInput. Returns nullopt,
// having read nothing, when echo could not be switched off.
std::optional<std::expected<SecureString, CliError>> read_stdin_line_without_echo(
    std::string_view prompt, std::string_view label);

// read_terminal_line reads one line from the terminal on standard input
// under a TerminalInput in the WholeLine mode, writing `prompt` to standard
// error once the terminal is changed, so that a pasted line up to
// MAX_LINE_BYTES arrives whole. The line ends at
// a line feed, a carriage return, the terminal's end-of-input character or
// end of input, none of them kept; what was typed before a stop is dropped
// once the prompt is written again. Failures as for read_stdin_line. Returns
// nullopt, having read nothing, when the terminal could not be changed.
std::optional<std::expected<SecureString, CliError>> read_terminal_line(std::string_view prompt,
                                                                        std::string_view label);

// read_secret_stdin is read_stdin_bounded for a secret: when standard input
// is a terminal it is read with echo off (under a HiddenTerminalInput), to
// end of input as ever. Pipes and files are read as they are.
std::expected<SecureString, CliError> read_secret_stdin();

// read_secret_source is read_text_source for a secret: "-" is read with
// read_secret_stdin.
std::expected<SecureString, CliError> read_secret_source(std::string_view path);

// option_value_string takes the value of the option just returned by `args`
// as text. Tokeniser failures become PL-2000 (error_from_arg_error); a value
// that is not UTF-8 is PL-2000 "{label}: not valid UTF-8".
std::expected<std::string, CliError> option_value_string(ArgParser& args, std::string_view label);

// option_value_string_twin is option_value_string for the repin command.
std::expected<std::string, CliError> option_value_string_twin(ArgParser& args,
                                                              std::string_view label);

// parse_node_key_option checks that `text`, trimmed of white space, is a node
// channel key and returns the trimmed text. PL-2000 "{label}: {channel-key
// error}" otherwise.
std::expected<std::string, CliError> parse_node_key_option(std::string_view label,
                                                           std::string_view text);

}  // namespace pellucor
