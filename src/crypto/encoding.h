// Text encodings of bytes: standard base64 (with canonical padding), base64url
// (no padding), lowercase hex, and white-space trimming for pasted texts.
//
// Encoders and decoders never branch or index tables on the byte values, so
// encoding a key does not leak it through timing. Decoders are strict: no
// white space, no stray padding, and the unused low bits of the last base64
// character must be zero. They return std::nullopt on any fault; callers
// attach their own record.
#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "crypto/secure_buffer.h"

namespace pellucor {

namespace encoding_detail {
std::size_t base64_encoded_len(std::size_t n, bool pad) noexcept;
void base64_write(std::span<const std::uint8_t> in, char* out, bool url, bool pad) noexcept;
void hex_write(std::span<const std::uint8_t> in, char* out) noexcept;
}  // namespace encoding_detail

// base64_encode returns standard base64 (A-Z a-z 0-9 + /) with "=" padding.
// `Str` may be SecureString when the bytes are secret.
template <class Str = std::string>
Str base64_encode(std::span<const std::uint8_t> bytes) {
  Str out(encoding_detail::base64_encoded_len(bytes.size(), true), '\0');
  encoding_detail::base64_write(bytes, out.data(), false, true);
  return out;
}

// base64url_encode returns URL-safe base64 (A-Z a-z 0-9 - _) without padding.
template <class Str = std::string>
Str base64url_encode(std::span<const std::uint8_t> bytes) {
  Str out(encoding_detail::base64_encoded_len(bytes.size(), false), '\0');
  encoding_detail::base64_write(bytes, out.data(), true, false);
  return out;
}

// hex_encode returns two lowercase hex digits per byte, high digit first.
template <class Str = std::string>
Str hex_encode(std::span<const std::uint8_t> bytes) {
  Str out(bytes.size() * 2, '\0');
  encoding_detail::hex_write(bytes, out.data());
  return out;
}

// base64_decode decodes standard base64 with canonical padding: the length is
// a multiple of 4, "=" appears only as one or two final characters, and the
// unused bits are zero. std::nullopt otherwise.
std::optional<SecureBytes> base64_decode(std::string_view text);

// base64url_decode decodes URL-safe base64 without padding ("=" anywhere is
// refused; a length of 1 mod 4 is refused; unused bits must be zero).
std::optional<SecureBytes> base64url_decode(std::string_view text);

// Why a base64 text was refused, in the terms of the decoder the gate's
// peers use: the first bad symbol and its offset, a length that leaves a
// single symbol in the last group, padding other than the form requires, or a
// last symbol with unused bits set.
struct Base64DecodeError {
  enum class Kind : std::uint8_t { InvalidByte, InvalidLength, InvalidLastSymbol, InvalidPadding };
  Kind kind = Kind::InvalidPadding;
  std::size_t offset = 0;  // InvalidByte, InvalidLastSymbol: where; InvalidLength: symbols counted
  std::uint8_t byte = 0;   // InvalidByte, InvalidLastSymbol: the symbol
};

// format_base64_decode_error renders the error as one sentence, e.g.
// "Invalid symbol 61, offset 2." or "Invalid padding".
std::string format_base64_decode_error(const Base64DecodeError& e);

// base64_decode_checked and base64url_decode_checked are base64_decode and
// base64url_decode reporting why a text was refused.
std::expected<SecureBytes, Base64DecodeError> base64_decode_checked(std::string_view text);
std::expected<SecureBytes, Base64DecodeError> base64url_decode_checked(std::string_view text);

enum class HexCase : std::uint8_t { Lower, Any };

// hex_decode decodes pairs of hex digits, high digit first. With HexCase::Lower
// the digits A-F are refused. std::nullopt for an odd length or a non-digit.
std::optional<SecureBytes> hex_decode(std::string_view text, HexCase letters = HexCase::Any);

// is_valid_utf8 tells whether `bytes` is well-formed UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::span<const std::uint8_t> bytes) noexcept;

// utf8_error_text returns nothing when `bytes` is valid UTF-8, else the
// position of the first fault in the form "invalid utf-8 sequence of N bytes
// from index I" or "incomplete utf-8 byte sequence from index I".
std::optional<std::string> utf8_error_text(std::span<const std::uint8_t> bytes);

// is_white_space tells whether `c` is Unicode white space (the set below).
bool is_white_space(char32_t c) noexcept;

// parse_decimal reads a whole text as a decimal integer of type T: one
// optional '+' (or '-' when T is signed), then one or more ASCII digits and
// nothing else, within T's range. No white space, no other base.
template <std::integral T>
std::optional<T> parse_decimal(std::string_view text) noexcept {
  if (text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;
  }
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// trim_white_space removes Unicode white space (tab to carriage return, blank,
// U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029, U+202F, U+205F,
// U+3000) from both ends of UTF-8 text.
std::string_view trim_white_space(std::string_view text) noexcept;

}  // namespace pellucor
