#include "cli/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "cli/fault.h"
#include "cli/utf8.h"
#include "gate/os_error.h"
#include "gate/write_fully.h"

namespace pellucor {

namespace {

void write_all(int fd, std::string_view bytes, std::string_view stream_name) {
  const int error_number = write_fully(fd, bytes);
  if (error_number == 0) return;
  // The reader of stderr went away while the command is still succeeding:
  // the note or warning has no one left to read it, and stopping here would
  // cut short what the command still owes its stdout. It goes on, and its
  // own outcome decides the status. An error line meeting a closed stderr is
  // the fault below, which keeps the failure's status.
  if (fd == 2 && error_number == EPIPE && !run_has_failed()) return;
  std::string message = "failed printing to ";
  message += stream_name;
  message += ": ";
  message += os_error_text(error_number);
  output_fault(fd, message);
}

}  // namespace

void write_stdout(std::string_view bytes) { write_all(1, bytes, "stdout"); }

void write_stderr(std::string_view bytes) { write_all(2, bytes, "stderr"); }

bool colour_enabled() {
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && no_color[0] != '\0') return false;
  return ::isatty(1) == 1;
}

namespace {

// What happens to a character on its way to the terminal.
enum class Keep { Whole, Blank, Drop };

// Line breaks inside one line: a line feed or carriage return becomes a blank.
Keep judge(char32_t cp, bool one_line) {
  if (one_line && (cp == '\n' || cp == '\r')) return Keep::Blank;
  return is_safe_terminal_char(cp) ? Keep::Whole : Keep::Drop;
}

SanitizedText sanitize(std::string_view text, bool one_line) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    // Fast path over printable ASCII.
    if (b >= 0x20 && b < 0x7F) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0 || judge(cp, one_line) != Keep::Whole) break;
    i += len;
  }
  if (i == text.size()) return SanitizedText(text);
  SecureString out(text.substr(0, i));
  while (i < text.size()) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0) {
      ++i;  // not UTF-8: never reaches the terminal
      continue;
    }
    switch (judge(cp, one_line)) {
      case Keep::Whole: out.append(text.substr(i, len)); break;
      case Keep::Blank: out += ' '; break;
      case Keep::Drop: break;
    }
    i += len;
  }
  return SanitizedText(std::move(out));
}

}  // namespace

SanitizedText sanitize_for_terminal(std::string_view text) { return sanitize(text, false); }

SanitizedText sanitize_one_line(std::string_view text) { return sanitize(text, true); }

SanitizedText value_for_stdout(std::string_view raw) {
  if (::isatty(1) != 1) return SanitizedText(raw);
  return sanitize_for_terminal(raw);
}

std::string sanitize_inline(std::string_view text, std::size_t max_chars) {
  std::string out;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < text.size() && kept < max_chars;) {
    char32_t cp = 0;
    const std::size_t len = decode_utf8(text, i, cp);
    if (len == 0) {
      ++i;
      continue;
    }
    if (cp != '\t' && cp != '\n' && cp != '\r' && is_safe_terminal_char(cp)) {
      out.append(text.substr(i, len));
      ++kept;
    }
    i += len;
  }
  return out;
}

// The printers build each line in a wiping buffer: a line may carry a secret
// (a field value, a summary). Only print_field's value and the error line may
// span lines: everything else is kept to its one line, so that vault text
// cannot add lines of its own.
void print_ok(std::string_view message) {
  const SanitizedText clean = sanitize_one_line(message);
  SecureString line;
  if (colour_enabled()) {
    line.append(style::green).append(style::bold).append("\u2713").append(style::reset);
    line.append(" ").append(style::green).append(clean.view()).append(style::reset);
  } else {
    line.append("OK: ").append(clean.view());
  }
  line += '\n';
  write_stdout(line);
}

void print_error_line(std::string_view message) {
  // An error line is the report of a failure: whatever happens to it, and to
  // anything printed after it, the run ends with status 1.
  mark_run_failed();
  const SanitizedText clean = sanitize_for_terminal(message);
  SecureString line;
  if (colour_enabled()) {
    line.append(style::red).append("\u2717 ").append(clean.view()).append(style::reset);
  } else {
    line.append(clean.view());
  }
  line += '\n';
  write_stderr(line);
}

void print_dim(std::string_view message) {
  const SanitizedText clean = sanitize_one_line(message);
  SecureString line;
  if (colour_enabled()) {
    line.append(style::dim).append(clean.view()).append(style::reset);
  } else {
    line.append(clean.view());
  }
  line += '\n';
  write_stdout(line);
}

void print_arrow_field(std::string_view label, std::string_view value) {
  const SanitizedText clean = sanitize_one_line(value);
  SecureString line;
  if (colour_enabled()) {
    line.append(style::grey).append("\u2192 ").append(label).append(":").append(style::reset);
    line.append(" ").append(style::bold).append(clean.view()).append(style::reset);
  } else {
    line.append("  ").append(label).append(": ").append(clean.view());
  }
  line += '\n';
  write_stdout(line);
}

void print_field(std::string_view key, std::string_view value) {
  const SanitizedText clean_key = sanitize_one_line(key);
  const SanitizedText clean_value = sanitize_for_terminal(value);
  SecureString line;
  if (colour_enabled()) {
    line.append(style::grey).append(clean_key.view()).append(":").append(style::reset);
    line.append(" ").append(clean_value.view());
  } else {
    line.append(clean_key.view()).append(": ").append(clean_value.view());
  }
  line += '\n';
  write_stdout(line);
}

void print_field_greyed(std::string_view key, std::string_view value) {
  const SanitizedText clean_key = sanitize_one_line(key);
  const SanitizedText clean_value = sanitize_for_terminal(value);
  SecureString line;
  if (colour_enabled()) {
    line.append(style::grey).append(clean_key.view()).append(": ").append(clean_value.view());
    line.append(style::reset);
  } else {
    line.append(clean_key.view()).append(": ").append(clean_value.view());
  }
  line += '\n';
  write_stdout(line);
}

}  // namespace pellucor
