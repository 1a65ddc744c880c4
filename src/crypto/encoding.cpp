#include "crypto/encoding.h"

#include <array>

namespace pellucor {
namespace {

// Byte-wide masks computed without branches: 0xFF when the relation holds,
// 0 otherwise. Arguments are below 256 (or small negatives), so the borrow of
// the subtraction lands in bit 8.
inline unsigned gt(unsigned x, unsigned y) noexcept { return ((y - x) >> 8) & 0xFFu; }
inline unsigned lt(unsigned x, unsigned y) noexcept { return gt(y, x); }
inline unsigned ge(unsigned x, unsigned y) noexcept { return gt(y, x) ^ 0xFFu; }
inline unsigned le(unsigned x, unsigned y) noexcept { return ge(y, x); }
inline unsigned eq(unsigned x, unsigned y) noexcept { return ((0u - (x ^ y)) >> 8 & 0xFFu) ^ 0xFFu; }
inline unsigned in_range(unsigned c, unsigned lo, unsigned hi) noexcept { return ge(c, lo) & le(c, hi); }

inline char sextet_to_char(unsigned v, bool url) noexcept {
  const unsigned c62 = url ? '-' : '+';
  const unsigned c63 = url ? '_' : '/';
  return static_cast<char>((lt(v, 26) & (v + 'A')) | (ge(v, 26) & lt(v, 52) & (v + 'a' - 26)) |
                           (ge(v, 52) & lt(v, 62) & (v + '0' - 52)) | (eq(v, 62) & c62) |
                           (eq(v, 63) & c63));
}

// The value 0..63 of a base64 character; anything else has bits above 0x3F set.
template <bool Url>
inline unsigned char_to_sextet(unsigned char ch) noexcept {
  const unsigned c = ch;
  constexpr unsigned c62 = Url ? '-' : '+';
  constexpr unsigned c63 = Url ? '_' : '/';
  const unsigned upper = in_range(c, 'A', 'Z');
  const unsigned lower = in_range(c, 'a', 'z');
  const unsigned digit = in_range(c, '0', '9');
  const unsigned s62 = eq(c, c62);
  const unsigned s63 = eq(c, c63);
  const unsigned v = (upper & (c - 'A')) | (lower & (c - 'a' + 26)) | (digit & (c - '0' + 52)) | (s62 & 62) |
                     (s63 & 63);
  return v | (((upper | lower | digit | s62 | s63) ^ 0xFFu) << 8);
}

inline unsigned char_to_sextet(unsigned char ch, bool url) noexcept {
  return url ? char_to_sextet<true>(ch) : char_to_sextet<false>(ch);
}

template <bool Url>
std::optional<SecureBytes> decode_sextets(std::string_view text) {
  const std::size_t n = text.size();
  if (n % 4 == 1) return std::nullopt;
  SecureBytes out(n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1));
  unsigned bad = 0;
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const unsigned a = char_to_sextet<Url>(static_cast<unsigned char>(text[i]));
    const unsigned b = char_to_sextet<Url>(static_cast<unsigned char>(text[i + 1]));
    const unsigned c = char_to_sextet<Url>(static_cast<unsigned char>(text[i + 2]));
    const unsigned d = char_to_sextet<Url>(static_cast<unsigned char>(text[i + 3]));
    bad |= (a | b | c | d) & ~0x3Fu;
    const unsigned w = (a << 18) | (b << 12) | (c << 6) | d;
    out[o++] = static_cast<std::uint8_t>(w >> 16);
    out[o++] = static_cast<std::uint8_t>(w >> 8);
    out[o++] = static_cast<std::uint8_t>(w);
  }
  const std::size_t rest = n - i;
  if (rest >= 2) {
    const unsigned a = char_to_sextet<Url>(static_cast<unsigned char>(text[i]));
    const unsigned b = char_to_sextet<Url>(static_cast<unsigned char>(text[i + 1]));
    const unsigned c = rest == 3 ? char_to_sextet<Url>(static_cast<unsigned char>(text[i + 2])) : 0;
    bad |= (a | b | c) & ~0x3Fu;
    const unsigned w = (a << 18) | (b << 12) | (c << 6);
    out[o++] = static_cast<std::uint8_t>(w >> 16);
    if (rest == 3) {
      out[o++] = static_cast<std::uint8_t>(w >> 8);
      bad |= w & 0xFFu;  // the two unused bits of the third character
    } else {
      bad |= w & 0xFFFFu;  // the four unused bits of the second character
    }
  }
  if (bad != 0) return std::nullopt;
  return out;
}

// Decodes the UTF-8 scalar starting at s[i] (0 when malformed) and its length.
std::size_t utf8_at(std::string_view s, std::size_t i, char32_t& cp) noexcept {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  return len;
}

// Explains a refused text: the same acceptance as decode_sextets, walked
// symbol by symbol so the first fault is the one reported. Only run once a
// text has already been refused, so its table-free branching on the symbols
// costs nothing on the path that handles real data.
Base64DecodeError diagnose(std::string_view text, bool url, bool padded) {
  using Kind = Base64DecodeError::Kind;
  auto sym = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  auto valid = [&](std::uint8_t c) { return char_to_sextet(c, url) <= 0x3F; };
  const std::size_t n = text.size();
  const std::size_t rem = n % 4;
  // A lone trailing symbol that is not even base64 is named first.
  if (rem == 1 && sym(n - 1) != '=' && !valid(sym(n - 1))) return {Kind::InvalidByte, n - 1, sym(n - 1)};
  // Every group but the last must be four plain symbols.
  std::size_t body = n - rem;
  if (rem == 0 && body >= 4) body -= 4;
  for (std::size_t i = 0; i < body; ++i) {
    if (!valid(sym(i))) return {Kind::InvalidByte, i, sym(i)};
  }
  // The last group: at most four symbols, padding only after two symbols.
  std::size_t symbols = 0, pads = 0, first_pad = 0;
  std::uint8_t last = 0;
  std::array<unsigned, 4> values{};
  for (std::size_t i = body; i < n; ++i) {
    const std::uint8_t c = sym(i);
    if (c == '=') {
      if (i - body < 2) return {Kind::InvalidByte, i, c};
      if (pads == 0) first_pad = i;
      ++pads;
      continue;
    }
    if (pads > 0) return {Kind::InvalidByte, first_pad, '='};
    if (!valid(c)) return {Kind::InvalidByte, i, c};
    last = c;
    values[symbols++] = char_to_sextet(c, url);
  }
  if (n != 0 && symbols < 2) return {Kind::InvalidLength, body + symbols, 0};
  if (padded ? (pads + symbols) % 4 != 0 : pads > 0) return {Kind::InvalidPadding, 0, 0};
  const unsigned w = (values[0] << 26) | (values[1] << 20) | (values[2] << 14) | (values[3] << 8);
  const std::size_t whole_bytes = symbols * 6 / 8;
  if (symbols != 0 && (w & (~0u >> (whole_bytes * 8))) != 0) {
    return {Kind::InvalidLastSymbol, body + symbols - 1, last};
  }
  return {Kind::InvalidPadding, 0, 0};
}

}  // namespace

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

namespace encoding_detail {

std::size_t base64_encoded_len(std::size_t n, bool pad) noexcept {
  if (pad) return (n + 2) / 3 * 4;
  return n / 3 * 4 + (n % 3 == 0 ? 0 : n % 3 + 1);
}

void base64_write(std::span<const std::uint8_t> in, char* out, bool url, bool pad) noexcept {
  std::size_t i = 0;
  for (; i + 3 <= in.size(); i += 3) {
    const unsigned w = (unsigned{in[i]} << 16) | (unsigned{in[i + 1]} << 8) | in[i + 2];
    *out++ = sextet_to_char(w >> 18 & 0x3F, url);
    *out++ = sextet_to_char(w >> 12 & 0x3F, url);
    *out++ = sextet_to_char(w >> 6 & 0x3F, url);
    *out++ = sextet_to_char(w & 0x3F, url);
  }
  const std::size_t rest = in.size() - i;
  if (rest == 0) return;
  const unsigned w = (unsigned{in[i]} << 16) | (rest == 2 ? unsigned{in[i + 1]} << 8 : 0u);
  *out++ = sextet_to_char(w >> 18 & 0x3F, url);
  *out++ = sextet_to_char(w >> 12 & 0x3F, url);
  if (rest == 2) *out++ = sextet_to_char(w >> 6 & 0x3F, url);
  if (pad) {
    *out++ = '=';
    if (rest == 1) *out++ = '=';
  }
}

void hex_write(std::span<const std::uint8_t> in, char* out) noexcept {
  for (std::uint8_t byte : in) {
    const unsigned hi = byte >> 4;
    const unsigned lo = byte & 0x0F;
    *out++ = static_cast<char>(hi + '0' + (gt(hi, 9) & 39u));
    *out++ = static_cast<char>(lo + '0' + (gt(lo, 9) & 39u));
  }
}

}  // namespace encoding_detail

std::optional<SecureBytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  return decode_sextets<false>(text.substr(0, text.size() - pad));
}

std::optional<SecureBytes> base64url_decode(std::string_view text) { return decode_sextets<true>(text); }

std::expected<SecureBytes, Base64DecodeError> base64_decode_checked(std::string_view text) {
  auto bytes = base64_decode(text);
  if (!bytes) return std::unexpected(diagnose(text, false, true));
  return std::move(*bytes);
}

std::expected<SecureBytes, Base64DecodeError> base64url_decode_checked(std::string_view text) {
  auto bytes = base64url_decode(text);
  if (!bytes) return std::unexpected(diagnose(text, true, false));
  return std::move(*bytes);
}

std::string format_base64_decode_error(const Base64DecodeError& e) {
  using Kind = Base64DecodeError::Kind;
  switch (e.kind) {
    case Kind::InvalidByte:
      return "Invalid symbol " + std::to_string(e.byte) + ", offset " + std::to_string(e.offset) + ".";
    case Kind::InvalidLength:
      return "Invalid input length: " + std::to_string(e.offset);
    case Kind::InvalidLastSymbol:
      return "Invalid last symbol " + std::to_string(e.byte) + ", offset " + std::to_string(e.offset) + ".";
    case Kind::InvalidPadding:
      break;
  }
  return "Invalid padding";
}

std::optional<SecureBytes> hex_decode(std::string_view text, HexCase letters) {
  if (text.size() % 2 != 0) return std::nullopt;
  const unsigned upper_ok = letters == HexCase::Any ? 0xFFu : 0u;
  SecureBytes out(text.size() / 2);
  unsigned bad = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned c = static_cast<unsigned char>(text[i]);
    const unsigned digit = in_range(c, '0', '9');
    const unsigned lower = in_range(c, 'a', 'f');
    const unsigned upper = in_range(c, 'A', 'F') & upper_ok;
    const unsigned v = (digit & (c - '0')) | (lower & (c - 'a' + 10)) | (upper & (c - 'A' + 10));
    bad |= (digit | lower | upper) ^ 0xFFu;
    if (i % 2 == 0) {
      out[i / 2] = static_cast<std::uint8_t>(v << 4);
    } else {
      out[i / 2] = static_cast<std::uint8_t>(out[i / 2] | v);
    }
  }
  if (bad != 0) return std::nullopt;
  return out;
}

namespace {

// Where and how a byte string stops being UTF-8: the index of the sequence
// that breaks, and how many of its bytes are bad (0: the text ends inside it).
struct Utf8Fault {
  std::size_t start = 0;
  int bad_bytes = 0;
};

std::optional<Utf8Fault> find_utf8_fault(std::span<const std::uint8_t> bytes) noexcept {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const std::uint8_t c = bytes[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return Utf8Fault{i, 1};
    }
    // Bytes are judged in order: a bad byte is reported before a missing one.
    for (std::size_t k = 1; k < len; ++k) {
      if (i + k >= n) return Utf8Fault{i, 0};
      const std::uint8_t b = bytes[i + k];
      const bool ok = k == 1 ? (b >= lo && b <= hi) : (b & 0xC0) == 0x80;
      if (!ok) return Utf8Fault{i, static_cast<int>(k)};
    }
    i += len;
  }
  return std::nullopt;
}

}  // namespace

bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept { return !find_utf8_fault(bytes); }

std::optional<std::string> utf8_error_text(std::span<const std::uint8_t> bytes) {
  const auto fault = find_utf8_fault(bytes);
  if (!fault) return std::nullopt;
  if (fault->bad_bytes == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(fault->start);
  return "invalid utf-8 sequence of " + std::to_string(fault->bad_bytes) + " bytes from index " +
         std::to_string(fault->start);
}

std::string_view trim_white_space(std::string_view text) noexcept {
  std::size_t start = 0;
  while (start < text.size()) {
    char32_t cp = 0;
    const std::size_t len = utf8_at(text, start, cp);
    if (len == 0 || !is_white_space(cp)) break;
    start += len;
  }
  std::size_t end = text.size();
  while (end > start) {
    std::size_t lead = end - 1;
    while (lead > start && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80 && end - lead < 4) --lead;
    char32_t cp = 0;
    const std::size_t len = utf8_at(text, lead, cp);
    if (len != end - lead || !is_white_space(cp)) break;
    end = lead;
  }
  return text.substr(start, end - start);
}

}  // namespace pellucor
