// The standard base64 decoder (canonical padding) on arbitrary text, and
// encode-then-decode on arbitrary bytes. An accepted text is exactly the
// encoding of what it decodes to, and OpenSSL's decoder reads the same bytes
// from it; the plain and the reporting decoders agree.
#include <openssl/evp.h>

#include <algorithm>
#include <vector>

#include "crypto/encoding.h"
#include "fuzz_common.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  auto plain = base64_decode(text);
  auto checked = base64_decode_checked(text);
  FUZZ_CHECK(plain.has_value() == checked.has_value());
  if (plain) {
    FUZZ_CHECK(*plain == *checked);
    FUZZ_CHECK(base64_encode(*plain) == text);
    // OpenSSL writes 3 bytes per group, padding included.
    std::vector<unsigned char> theirs(size / 4 * 3 + 3);
    const int n = EVP_DecodeBlock(theirs.data(), data, static_cast<int>(size));
    const std::size_t pad = size == 0 ? 0 : (text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0);
    FUZZ_CHECK(n >= 0 && static_cast<std::size_t>(n) == plain->size() + pad);
    FUZZ_CHECK(std::equal(plain->begin(), plain->end(), theirs.begin()));
  } else {
    FUZZ_CHECK(!format_base64_decode_error(checked.error()).empty());
  }

  const std::span<const std::uint8_t> bytes(data, size);
  const std::string encoded = base64_encode(bytes);
  FUZZ_CHECK(encoded.size() % 4 == 0);
  auto back = base64_decode(encoded);
  FUZZ_CHECK(back.has_value() && std::ranges::equal(*back, bytes));
  return 0;
}
