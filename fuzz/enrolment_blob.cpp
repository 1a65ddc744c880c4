// Opening an enrolment blob and checking what it carries (init), from bytes.
//
// Each input is used twice: split at its first line feed into the blob and key
// texts exactly as pasted (base64url decoding, trimming, the key length), and
// as the plaintext of a blob sealed under a fixed key, which reaches the blob
// reader and every value check. An accepted blob gives a Config whose values
// pass the checks that reading it back later applies.
#include <array>

#include "cli/commands/init.h"
#include "crypto/channel_key.h"
#include "crypto/encoding.h"
#include "crypto/hex16.h"
#include "crypto/primitives.h"
#include "fuzz_common.h"
#include "gate/config_file.h"

using namespace pellucor;

namespace {

bool is_lower_hex(std::string_view s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void check_config(const Config& c) {
  FUZZ_CHECK(parse_channel_key(c.vault_gate_pub).has_value());
  FUZZ_CHECK(c.replica_gate_pub.empty() || parse_channel_key(c.replica_gate_pub).has_value());
  FUZZ_CHECK(c.vault_url.starts_with("https://"));
  FUZZ_CHECK(c.replica_url.empty() || c.replica_url.starts_with("https://"));
  auto id = parse_hex16_id(c.vault_id);
  FUZZ_CHECK(id.has_value() && format_hex16_id(*id) == c.vault_id);
  FUZZ_CHECK(c.agent_id.size() == 32 && is_lower_hex(c.agent_id.view()));
  FUZZ_CHECK(c.l2.size() == 32 && is_lower_hex(c.l2.view()));
  FUZZ_CHECK(c.device_id.view() == "device");

  // What init writes, a later command reads back unchanged.
  const SecureString json = encode_config_json(c);
  auto again = parse_config_json(json.view());
  FUZZ_CHECK(again.has_value() && *again == c);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);

  // As pasted.
  const std::size_t lf = text.find('\n');
  const std::string_view blob_text = text.substr(0, lf);
  const std::string_view key_text = lf == std::string_view::npos ? std::string_view{} : text.substr(lf + 1);
  if (auto pasted = config_from_enrolment(blob_text, key_text, "device")) {
    check_config(*pasted);
  } else {
    FUZZ_CHECK(pasted.error().error.code == err::PL_2001.code);
  }

  // As the plaintext of a sealed blob.
  static constexpr std::array<std::uint8_t, 32> kKey{
      0x60, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x6b, 0x6c, 0x6d, 0x6e, 0x6f,
      0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x7b, 0x7c, 0x7d, 0x7e, 0x7f};
  static constexpr std::array<std::uint8_t, kAeadNonceLen> kNonce{9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2};
  auto sealed = seal_with_nonce(kKey, kNonce, std::span<const std::uint8_t>(data, size));
  FUZZ_CHECK(sealed.has_value());
  const std::string blob = base64url_encode(*sealed);
  const std::string key = base64url_encode(kKey);
  if (auto opened = config_from_enrolment(blob, key, "device")) {
    check_config(*opened);
  } else {
    FUZZ_CHECK(opened.error().error.code == err::PL_2001.code);
  }
  return 0;
}
