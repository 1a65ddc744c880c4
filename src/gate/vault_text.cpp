#include "gate/vault_text.h"

namespace pellucor {

namespace {

std::string filter_controls(std::string_view text, bool blank_line_breaks) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char b = text[i];
    if (b == '\t' || b == '\n' || b == '\r') {
      if (blank_line_breaks) out.push_back(' ');
      continue;
    }
    char32_t cp = 0;
    if (const std::size_t n = unsafe_terminal_char_at(text, i, cp)) {
      i += n - 1;
      continue;
    }
    out.push_back(b);
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

// Every character is_safe_terminal_char refuses is ASCII, or U+0080..U+00BF
// (lead byte 0xC2), or U+2000..U+2FFF (lead byte 0xE2): only those lead
// bytes need decoding.
std::size_t unsafe_terminal_char_at(std::string_view text, std::size_t k, char32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto continuation = [&](std::size_t i) { return i < text.size() && (byte(i) & 0xC0) == 0x80; };
  const auto low_bits = [&](std::size_t i) { return static_cast<char32_t>(byte(i) & 0x3F); };
  std::size_t length = 0;
  if (byte(k) < 0x80) {
    cp = byte(k), length = 1;
  } else if (byte(k) == 0xC2 && continuation(k + 1)) {
    cp = 0x80 | low_bits(k + 1), length = 2;
  } else if (byte(k) == 0xE2 && continuation(k + 1) && continuation(k + 2)) {
    cp = 0x2000 | low_bits(k + 1) << 6 | low_bits(k + 2), length = 3;
  }
  return length != 0 && !is_safe_terminal_char(cp) ? length : 0;
}

std::string strip_control_chars(std::string_view text) { return filter_controls(text, false); }

std::string single_line_text(std::string_view text) { return filter_controls(text, true); }

}  // namespace pellucor
