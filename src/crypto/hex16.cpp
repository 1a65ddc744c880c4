#include "crypto/hex16.h"

namespace pellucor {

std::string_view hex16_error_name(Hex16Error e) noexcept {
  switch (e) {
    case Hex16Error::WrongLength: return "wrong_length";
    case Hex16Error::HexPrefix: return "hex_prefix";
    case Hex16Error::Uppercase: return "uppercase";
    case Hex16Error::Sign: return "sign";
    case Hex16Error::Whitespace: return "whitespace";
    case Hex16Error::InvalidChar: return "invalid_char";
    case Hex16Error::Zero: return "zero";
    case Hex16Error::TopBitSet: return "top_bit_set";
    case Hex16Error::IssuerZero: return "issuer_zero";
    case Hex16Error::RandomPartZero: return "random_part_zero";
  }
  return "invalid_char";
}

std::expected<std::int64_t, Hex16Error> parse_hex16_id(std::string_view text) noexcept {
  if (text.size() != 16) return std::unexpected(Hex16Error::WrongLength);
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return std::unexpected(Hex16Error::HexPrefix);
  std::uint64_t value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      return std::unexpected(Hex16Error::Uppercase);
    } else if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') {
      return std::unexpected(Hex16Error::Whitespace);
    } else if (c == '+' || c == '-') {
      return std::unexpected(Hex16Error::Sign);
    } else {
      return std::unexpected(Hex16Error::InvalidChar);
    }
    value = value * 16 + digit;
  }
  if (value == 0) return std::unexpected(Hex16Error::Zero);
  if (value >> 63 != 0) return std::unexpected(Hex16Error::TopBitSet);
  if (value >> 56 == 0) return std::unexpected(Hex16Error::IssuerZero);
  if ((value & 0x00FF'FFFF'FFFF'FFFFull) == 0) return std::unexpected(Hex16Error::RandomPartZero);
  return static_cast<std::int64_t>(value);
}

std::string format_hex16_id(std::int64_t id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto v = static_cast<std::uint64_t>(id);
  std::string out(16, '0');
  for (int i = 0; i < 16; ++i) out[static_cast<std::size_t>(i)] = kDigits[(v >> (60 - 4 * i)) & 0xF];
  return out;
}

}  // namespace pellucor
