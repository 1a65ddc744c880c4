#include "gate/vault_text.h"

namespace pellucor {

namespace {

// The text comes from a JSON string or the configuration, well-formed UTF-8:
// a C1 control is always the two bytes C2 80..C2 9F, and 0xC2 is never a
// continuation byte.
std::string filter_controls(std::string_view text, bool blank_line_breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (blank_line_breaks && (b == '\t' || b == '\n' || b == '\r')) {
      out.push_back(' ');
      continue;
    }
    if (b < 0x20 || b == 0x7F) continue;
    if (b == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        ++i;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace

bool is_safe_terminal_char(char32_t c) {
  if (c == '\t' || c == '\n') return true;
  if (c < 0x20 || c == 0x7F) return false;
  if (c >= 0x80 && c <= 0x9F) return false;
  if (c >= 0x202A && c <= 0x202E) return false;
  if (c >= 0x2066 && c <= 0x2069) return false;
  return true;
}

std::string strip_control_chars(std::string_view text) { return filter_controls(text, false); }

std::string single_line_text(std::string_view text) { return filter_controls(text, true); }

}  // namespace pellucor
