// Vault-supplied text that ends up inside an error message (a gate error's
// code and message, a candidate title, a field label, a host from the
// enrolment). The final error line passes it through the terminal filter,
// which removes every unsafe character but keeps tabs and line feeds; these
// helpers also take away the line breaks, so that a vault can never add lines
// of its own choosing (a forged "PL-…" line) to a failure.
#pragma once

#include <string>
#include <string_view>

namespace pellucor {

// is_safe_terminal_char: tab and line feed are safe; every other C0 control,
// DEL, the C1 controls U+0080..U+009F and the bidirectional controls
// U+202A..U+202E and U+2066..U+2069 are not; everything else is. The one
// definition of what may reach a terminal, for the terminal filter and for
// JSON printed there.
bool is_safe_terminal_char(char32_t c);

// strip_control_chars removes the C0 controls (tab, line feed and carriage
// return included), DEL and the C1 controls U+0080..U+009F; everything else,
// bidirectional controls included, is kept.
std::string strip_control_chars(std::string_view text);

// single_line_text turns tab, line feed and carriage return into a blank and
// removes the other C0 controls, DEL and the C1 controls.
std::string single_line_text(std::string_view text);

}  // namespace pellucor
