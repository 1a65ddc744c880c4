// parse_channel_key on arbitrary text, and format-then-parse on arbitrary key
// bytes. The parser, the plain text check used for enrolment blobs and the
// option parser of repin must agree on what a key is.
#include <algorithm>

#include "cli/input.h"
#include "crypto/channel_key.h"
#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "fuzz_common.h"
#include "gate/config_file.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  const std::string_view trimmed = trim_white_space(text);

  auto key = parse_channel_key(text);
  FUZZ_CHECK(key.has_value() == is_channel_key_text(trimmed));
  if (key) {
    FUZZ_CHECK(format_channel_key(*key) == trimmed);
  } else {
    FUZZ_CHECK((key.error() == ChannelKeyError::RetiredKey) == (trimmed.size() == 64));
  }
  auto option = parse_node_key_option("--pop-pub", text);
  FUZZ_CHECK(option.has_value() == key.has_value());
  if (option) FUZZ_CHECK(*option == trimmed);
  auto field = parse_channel_key_field(text, "vault_gate_pub");
  FUZZ_CHECK(field.has_value() == key.has_value());
  if (field) FUZZ_CHECK(*field == *key);

  // Any 1249 bytes: written, then read back (with white space around it).
  if (size >= kChannelKeyLen) {
    ChannelKey k;
    std::copy_n(data, kChannelKeyLen, k.bytes.begin());
    const std::string hex = format_channel_key(k);
    FUZZ_CHECK(hex.size() == kChannelKeyTextLen && is_channel_key_text(hex));
    auto back = parse_channel_key(" \t" + hex + "\r\n");
    FUZZ_CHECK(back.has_value() && *back == k);
    FUZZ_CHECK(std::ranges::equal(back->p256_point(), std::span(data, kChannelKeyP256Len)));
    FUZZ_CHECK(std::ranges::equal(back->mlkem_key(), std::span(data + kChannelKeyP256Len, kChannelKeyMlkemLen)));
  }
  return 0;
}
