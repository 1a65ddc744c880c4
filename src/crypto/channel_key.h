// A vault node's Noise static public key: a 65-byte uncompressed P-256 point
// followed by a 1184-byte ML-KEM-768 encapsulation key, written as 2498
// lowercase hex digits. Parsing checks only the length and the digits; the
// point and the ML-KEM key are checked by the handshake that uses them.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace pellucor {

inline constexpr std::size_t kChannelKeyP256Len = 65;
inline constexpr std::size_t kChannelKeyMlkemLen = 1184;
inline constexpr std::size_t kChannelKeyLen = kChannelKeyP256Len + kChannelKeyMlkemLen;  // 1249
inline constexpr std::size_t kChannelKeyTextLen = 2 * kChannelKeyLen;                    // 2498

struct ChannelKey {
  std::array<std::uint8_t, kChannelKeyLen> bytes{};

  std::span<const std::uint8_t, kChannelKeyP256Len> p256_point() const noexcept {
    return std::span<const std::uint8_t, kChannelKeyLen>(bytes).first<kChannelKeyP256Len>();
  }
  std::span<const std::uint8_t, kChannelKeyMlkemLen> mlkem_key() const noexcept {
    return std::span<const std::uint8_t, kChannelKeyLen>(bytes).last<kChannelKeyMlkemLen>();
  }
  bool operator==(const ChannelKey&) const = default;
};

enum class ChannelKeyError : std::uint8_t {
  RetiredKey,     // a 64-digit text: the X25519 key of an earlier build
  NotChannelKey,  // anything else that is not 2498 lowercase hex digits
};

// format_channel_key_error returns the message of a channel-key error.
std::string_view format_channel_key_error(ChannelKeyError e) noexcept;

// parse_channel_key trims white space, then refuses a 64-character text as a
// retired key, and anything but exactly 1249 bytes of lowercase hex as not a
// channel key.
std::expected<ChannelKey, ChannelKeyError> parse_channel_key(std::string_view text);

// format_channel_key returns the 2498 lowercase hex digits of a key.
std::string format_channel_key(const ChannelKey& key);

}  // namespace pellucor
