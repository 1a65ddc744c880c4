// The configuration file's byte checks and Config reading, from bytes.
//
// Each input is used twice: as a whole file image (size, magic and MAC checks;
// a fuzzer cannot forge the MAC, so these stop early), and as the plaintext of
// a properly sealed file, which reaches the Config reader through the same
// steps as a real file. Opening the sealed file and reading the plaintext
// directly must agree, and an accepted Config must survive its own writer.
#include <array>

#include "crypto/field_keys.h"
#include "crypto/primitives.h"
#include "fuzz_common.h"
#include "gate/config_file.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);

  if (auto raw = open_config_bytes(input); !raw) {
    FUZZ_CHECK(raw.error().error.code == err::PL_2004.code);
  }

  static constexpr std::array<std::uint8_t, kAeadNonceLen> kNonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const ConfigKey key = derive_config_enc_key();
  auto sealed = seal_with_nonce(key.span(), kNonce, input);
  FUZZ_CHECK(sealed.has_value());
  const std::vector<std::uint8_t> file = pack_config_file(*sealed);
  FUZZ_CHECK(file.size() == size + kConfigMinBytes);

  auto opened = open_config_bytes(file);
  auto direct = parse_config_json(fuzz::as_text(data, size));
  FUZZ_CHECK(opened.has_value() == direct.has_value());
  if (!opened) {
    FUZZ_CHECK(opened.error().message == direct.error().message);
    FUZZ_CHECK(opened.error().message.starts_with("config JSON parse: "));
    return 0;
  }
  FUZZ_CHECK(*opened == *direct);

  const SecureString rewritten = encode_config_json(*opened);
  auto again = parse_config_json(rewritten.view());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(*again == *opened);
  return 0;
}
