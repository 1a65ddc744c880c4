#include "crypto/channel_key.h"

#include <gtest/gtest.h>

#include <string>

namespace pellucor {
namespace {

constexpr std::string_view kRetired = "a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key";
constexpr std::string_view kNotKey = "not a Pellucor channel key (lowercase hex of the right length)";

std::string sample_key_text() {
  std::string s = "04";
  for (std::size_t i = 1; i < kChannelKeyLen; ++i) {
    static const char digits[] = "0123456789abcdef";
    const unsigned b = static_cast<unsigned>(i * 131 + 7) & 0xFF;
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

TEST(ChannelKey, ParsesAndFormatsBack) {
  const std::string text = sample_key_text();
  ASSERT_EQ(text.size(), 2498u);
  for (const std::string& input : {text, "  " + text + "\n", "\t" + text + "\r\n"}) {
    auto key = parse_channel_key(input);
    ASSERT_TRUE(key) << format_channel_key_error(key.error());
    EXPECT_EQ(format_channel_key(*key), text);
    EXPECT_EQ(key->p256_point()[0], 0x04);
    EXPECT_EQ(key->p256_point().size(), 65u);
    EXPECT_EQ(key->mlkem_key().size(), 1184u);
    EXPECT_EQ(key->mlkem_key().data(), key->bytes.data() + 65);
  }
}

TEST(ChannelKey, RefusalsCarryTheirMessages) {
  const std::string text = sample_key_text();
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string one_upper = text;
  one_upper[1000] = 'A';
  std::string inner_blank = text;
  inner_blank[10] = ' ';
  struct Case { std::string text; ChannelKeyError want; };
  const Case cases[] = {
      {upper, ChannelKeyError::NotChannelKey},
      {one_upper, ChannelKeyError::NotChannelKey},
      {text.substr(0, 2497), ChannelKeyError::NotChannelKey},
      {text + "0", ChannelKeyError::NotChannelKey},
      {text + "00", ChannelKeyError::NotChannelKey},  // valid hex, 1250 bytes
      {text.substr(0, 2496), ChannelKeyError::NotChannelKey},
      {inner_blank, ChannelKeyError::NotChannelKey},
      {"0x" + text.substr(2), ChannelKeyError::NotChannelKey},
      {"", ChannelKeyError::NotChannelKey},
      {std::string(64, 'a'), ChannelKeyError::RetiredKey},
      {std::string(64, 'Z'), ChannelKeyError::RetiredKey},  // whatever the 64 characters are
      {" " + std::string(64, '0') + "\n", ChannelKeyError::RetiredKey},
      {std::string(63, 'a'), ChannelKeyError::NotChannelKey},
      {std::string(66, 'a'), ChannelKeyError::NotChannelKey},
  };
  for (const Case& c : cases) {
    auto r = parse_channel_key(c.text);
    ASSERT_FALSE(r) << c.text.size();
    EXPECT_EQ(r.error(), c.want) << c.text.size();
  }
  EXPECT_EQ(format_channel_key_error(ChannelKeyError::RetiredKey), kRetired);
  EXPECT_EQ(format_channel_key_error(ChannelKeyError::NotChannelKey), kNotKey);
}

}  // namespace
}  // namespace pellucor
