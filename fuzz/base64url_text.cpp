// decode_base64url_text (enrolment blobs and keys as pasted) on arbitrary
// text, and encode-then-decode on arbitrary bytes. An accepted text is the
// canonical encoding of what it decodes to, after trimming and dropping
// trailing "="; the plain and the reporting decoders agree.
#include <algorithm>

#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "fuzz_common.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  std::string_view core = trim_white_space(text);
  while (!core.empty() && core.back() == '=') core.remove_suffix(1);

  auto decoded = decode_base64url_text(text);
  if (decoded) {
    FUZZ_CHECK(base64url_encode(*decoded) == core);
  } else {
    FUZZ_CHECK(decoded.error().code == err::PL_0011.code);
  }
  auto plain = base64url_decode(core);
  auto checked = base64url_decode_checked(core);
  FUZZ_CHECK(plain.has_value() == decoded.has_value() && checked.has_value() == decoded.has_value());
  if (decoded) FUZZ_CHECK(*plain == *decoded && *checked == *decoded);
  if (!checked) FUZZ_CHECK(!format_base64_decode_error(checked.error()).empty());

  // Any bytes: encoded, then read back as a user would paste them.
  const std::span<const std::uint8_t> bytes(data, size);
  const std::string encoded = base64url_encode(bytes);
  FUZZ_CHECK(encoded.find_first_not_of(
                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos);
  for (const std::string& pasted : {encoded, " \t" + encoded + "==\r\n"}) {
    auto back = decode_base64url_text(pasted);
    FUZZ_CHECK(back.has_value() && std::ranges::equal(*back, bytes));
  }
  return 0;
}
