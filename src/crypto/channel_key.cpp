#include "crypto/channel_key.h"

#include <algorithm>

#include "crypto/encoding.h"

namespace pellucor {

std::string_view format_channel_key_error(ChannelKeyError e) noexcept {
  switch (e) {
    case ChannelKeyError::RetiredKey:
      return "a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key";
    case ChannelKeyError::NotChannelKey:
      break;
  }
  return "not a Pellucor channel key (lowercase hex of the right length)";
}

std::expected<ChannelKey, ChannelKeyError> parse_channel_key(std::string_view text) {
  const std::string_view t = trim_white_space(text);
  if (t.size() == 64) return std::unexpected(ChannelKeyError::RetiredKey);
  if (t.size() != kChannelKeyTextLen) return std::unexpected(ChannelKeyError::NotChannelKey);
  auto bytes = hex_decode(t, HexCase::Lower);
  if (!bytes || bytes->size() != kChannelKeyLen) return std::unexpected(ChannelKeyError::NotChannelKey);
  ChannelKey key;
  std::copy(bytes->begin(), bytes->end(), key.bytes.begin());
  return key;
}

std::string format_channel_key(const ChannelKey& key) { return hex_encode(key.bytes); }

}  // namespace pellucor
