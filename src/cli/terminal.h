// Terminal output: the colour decision, the filter that keeps vault-supplied
// text from steering the terminal, the decorated line printers, and the raw
// write helpers every command uses for its output.
//
// Values a caller pipes into another program (a field value, a TOTP code, a
// rendered template) are written raw with write_stdout, after
// value_for_stdout when stdout may be a terminal; everything decorated goes
// through the printers, which sanitise what they print.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "crypto/secure_buffer.h"
#include "gate/vault_text.h"  // is_safe_terminal_char

namespace pellucor {

// Escape sequences of the palette.
namespace style {
inline constexpr std::string_view green = "\x1b[38;2;134;239;172m";
inline constexpr std::string_view grey = "\x1b[38;2;107;107;107m";
inline constexpr std::string_view red = "\x1b[38;2;220;38;38m";
inline constexpr std::string_view bold = "\x1b[1m";
inline constexpr std::string_view dim = "\x1b[2m";
inline constexpr std::string_view white_bold = "\x1b[37;1m";
inline constexpr std::string_view reset = "\x1b[0m";
}  // namespace style

// colour_enabled is false when NO_COLOR is set and not empty; otherwise true
// exactly when stdout is a terminal (also for lines written to stderr).
// Evaluated afresh on every call.
bool colour_enabled();

// The result of sanitize_for_terminal: a view of the input itself when it was
// clean (no copy), or an owned copy holding only the safe characters, wiped
// when freed (the text may be a secret). A view result must not outlive the
// text it was made from.
class SanitizedText {
 public:
  explicit SanitizedText(std::string_view clean) : view_(clean) {}
  explicit SanitizedText(SecureString owned) : owned_(std::move(owned)), is_owned_(true) {}
  SanitizedText(const SanitizedText&) = delete;
  SanitizedText& operator=(const SanitizedText&) = delete;
  SanitizedText(SanitizedText&&) = default;
  SanitizedText& operator=(SanitizedText&&) = default;

  std::string_view view() const { return is_owned_ ? owned_.view() : view_; }
  operator std::string_view() const { return view(); }
  bool was_copied() const { return is_owned_; }

 private:
  std::string_view view_;
  SecureString owned_;
  bool is_owned_ = false;
};

// sanitize_for_terminal keeps only safe characters, in order; tab and line
// feed survive. Bytes that are not well-formed UTF-8 are left out too.
SanitizedText sanitize_for_terminal(std::string_view text);

// value_for_stdout is a raw value as it goes to stdout: every byte unchanged
// for a pipe or a file, which the program reading it needs whole; when stdout
// is a terminal, sanitize_for_terminal of it (tab and line feed kept, as in
// the listing), so that a value cannot steer the terminal it is shown on.
SanitizedText value_for_stdout(std::string_view raw);

// sanitize_one_line is sanitize_for_terminal for vault text shown inside one
// line (a row, a "Label: value" line, a code, a label): each line feed and
// carriage return becomes a blank, so the text cannot start lines of its own.
// Tabs survive as in sanitize_for_terminal.
SanitizedText sanitize_one_line(std::string_view text);

// sanitize_inline makes one table cell or list line: safe characters in order,
// leaving out tab, line feed and carriage return, stopping once `max_chars`
// characters (at least 1) have been kept. No mark is added when cut.
std::string sanitize_inline(std::string_view text, std::size_t max_chars);

// Line printers: each writes one whole line (with its line feed) in one write,
// deciding colour once. With colour / without:
//   print_ok           stdout  green bold "✓" reset " " green msg reset   | "OK: " msg
//   print_error_line   stderr  red "✗ " msg reset                          | msg
//   print_dim          stdout  dim msg reset                               | msg
//   print_arrow_field  stdout  grey "→ " label ":" reset " " bold value reset | "  " label ": " value
//   print_field        stdout  grey key ":" reset " " value                | key ": " value
//   print_field_greyed stdout  grey key ": " value reset                   | key ": " value
// Every text is sanitised except the label of print_arrow_field (callers pass
// fixed texts). Only the value of print_field and the error line keep their
// line feeds; every other text goes through sanitize_one_line.
void print_ok(std::string_view message);
void print_error_line(std::string_view message);
void print_dim(std::string_view message);
void print_arrow_field(std::string_view label, std::string_view value);
void print_field(std::string_view key, std::string_view value);
void print_field_greyed(std::string_view key, std::string_view value);

// write_stdout / write_stderr write all of `bytes` (unbuffered, retrying short
// writes, waiting for a non-blocking descriptor). A failed write is a fault:
// a broken pipe ends the process quietly (status 0 while the command is
// succeeding, 1 once the run has failed; see cli/fault.h), except that a
// succeeding command whose stderr pipe was closed drops that text and goes
// on; any other error stops it at once with status 1, after the error line
// "PL-2000: failed printing to stdout: <error>" (the error as os_error_text
// of gate/os_error.h renders it) when stdout failed.
void write_stdout(std::string_view bytes);
void write_stderr(std::string_view bytes);

}  // namespace pellucor
