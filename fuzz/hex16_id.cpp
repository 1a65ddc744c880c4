// parse_hex16_id on arbitrary text, and format-then-parse on arbitrary ids.
// An accepted text is the id's own 16-digit form and has the value that a
// plain base-16 reading gives; a formatted id reads back unless it breaks one
// of the value rules, and then for exactly that reason.
#include <charconv>
#include <cstring>

#include "crypto/hex16.h"
#include "fuzz_common.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  if (auto id = parse_hex16_id(text)) {
    FUZZ_CHECK(format_hex16_id(*id) == text);
    std::uint64_t plain = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), plain, 16);
    FUZZ_CHECK(ec == std::errc() && end == text.data() + text.size());
    FUZZ_CHECK(plain == static_cast<std::uint64_t>(*id));
  } else {
    FUZZ_CHECK(hex16_error_name(id.error()).size() > 0);
    FUZZ_CHECK((id.error() == Hex16Error::WrongLength) == (size != 16));
  }

  if (size >= 8) {
    std::uint64_t raw = 0;
    std::memcpy(&raw, data, 8);
    const auto value = static_cast<std::int64_t>(raw);
    const std::string hex = format_hex16_id(value);
    FUZZ_CHECK(hex.size() == 16);
    auto back = parse_hex16_id(hex);
    if (raw == 0) {
      FUZZ_CHECK(!back && back.error() == Hex16Error::Zero);
    } else if (raw >> 63 != 0) {
      FUZZ_CHECK(!back && back.error() == Hex16Error::TopBitSet);
    } else if (raw >> 56 == 0) {
      FUZZ_CHECK(!back && back.error() == Hex16Error::IssuerZero);
    } else if ((raw & 0x00FF'FFFF'FFFF'FFFFull) == 0) {
      FUZZ_CHECK(!back && back.error() == Hex16Error::RandomPartZero);
    } else {
      FUZZ_CHECK(back.has_value() && *back == value);
    }
  }
  return 0;
}
