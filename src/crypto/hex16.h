// Vault ids: 64-bit values written as exactly 16 lowercase hex digits. The top
// byte names the issuer and the low 56 bits are random; bit 63 is clear and
// both parts are non-zero.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace pellucor {

// Why a text is not a Hex16 id, in the order the parser tests.
enum class Hex16Error : std::uint8_t {
  WrongLength = 0,     // not exactly 16 bytes
  HexPrefix = 1,       // begins "0x" or "0X"
  Uppercase = 2,       // a digit A-F
  Sign = 3,            // "+" or "-"
  Whitespace = 4,      // tab, line feed, form feed, carriage return or blank
  InvalidChar = 5,     // anything else that is not 0-9 or a-f
  Zero = 6,            // all sixteen digits zero
  TopBitSet = 7,       // bit 63 set
  IssuerZero = 8,      // top byte zero
  RandomPartZero = 9,  // low 56 bits zero
};

// hex16_error_name returns the snake_case name of a kind ("wrong_length", ...).
std::string_view hex16_error_name(Hex16Error e) noexcept;

// parse_hex16_id returns the id of a Hex16 text, or the first fault found:
// length, then prefix, then the first bad character, then the value tests.
std::expected<std::int64_t, Hex16Error> parse_hex16_id(std::string_view text) noexcept;

// format_hex16_id returns the 16 lowercase digits of an id, leading zeros
// written.
std::string format_hex16_id(std::int64_t id);

}  // namespace pellucor
