// Text the program did not write that ends up inside an error message: from
// the vault (a gate error's code and message, a candidate title, a field
// label, a host from the enrolment), from the command line (a query, an
// option name or value, a path) or from the environment (a path built from
// HOME or XDG_CONFIG_HOME). The final error line passes it through the
// terminal filter, which removes every unsafe character but keeps tabs and
// line feeds; these helpers also take away the line breaks, so that neither a
// vault nor an argument or a folder name handed on by an agent can add lines
// of its own choosing (a forged "PL-…" line) to a failure or a notice.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pellucor {

// is_safe_terminal_char: tab and line feed are safe; every other C0 control,
// DEL, the C1 controls U+0080..U+009F and the bidirectional controls
// U+202A..U+202E and U+2066..U+2069 are not; everything else is. The one
// definition of what may reach a terminal, for the terminal filter and for
// JSON printed there.
bool is_safe_terminal_char(char32_t c);

// unsafe_terminal_char_at: when the character at text[k] is one that
// is_safe_terminal_char refuses, its length in bytes, with its code point in
// `cp`; else 0. Bytes that are not UTF-8 are never reported.
std::size_t unsafe_terminal_char_at(std::string_view text, std::size_t k, char32_t& cp);

// strip_control_chars removes tab, line feed and every character
// is_safe_terminal_char refuses.
std::string strip_control_chars(std::string_view text);

// single_line_text turns tab, line feed and carriage return into a blank and
// removes every other character is_safe_terminal_char refuses.
std::string single_line_text(std::string_view text);

}  // namespace pellucor
