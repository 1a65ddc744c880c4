// parse_date_to_epoch_ms and format_epoch_ms against each other: an accepted
// date is midnight UTC of a day, prints as that day at 00:00:00, and the
// printed day reads back to the same instant. Any 64-bit instant prints as a
// well-formed time whose day, when in the accepted years, reads back to the
// start of that day. The audit table is drawn from arbitrary JSON as well.
#include <string>

#include "cli/commands/audit.h"
#include "fuzz_common.h"
#include "gate/json.h"

using namespace pellucor;

namespace {

constexpr std::int64_t kDayMs = 86'400'000;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  if (auto ms = parse_date_to_epoch_ms(text)) {
    FUZZ_CHECK(*ms % kDayMs == 0);
    const std::string printed = format_epoch_ms(*ms);
    FUZZ_CHECK(printed.size() == 19 && printed.ends_with(" 00:00:00"));
    auto back = parse_date_to_epoch_ms(printed.substr(0, 10));
    FUZZ_CHECK(back.has_value() && *back == *ms);
  } else {
    FUZZ_CHECK(!ms.error().message.empty());
  }

  if (size >= 8) {
    std::int64_t instant = 0;
    for (int i = 0; i < 8; ++i) instant = static_cast<std::int64_t>(static_cast<std::uint64_t>(instant) << 8 | data[i]);
    const std::string printed = format_epoch_ms(instant);
    FUZZ_CHECK(printed.size() >= 19);
    const std::size_t space = printed.rfind(' ');
    FUZZ_CHECK(space != std::string::npos && printed.size() - space == 9);
    const std::string day = printed.substr(0, space);
    if (day.size() == 10 && day[0] != '-' && day.substr(0, 4) != "0000") {
      auto back = parse_date_to_epoch_ms(day);
      FUZZ_CHECK(back.has_value() && *back == floor_div(instant, kDayMs) * kDayMs);
    }
  }

  if (auto value = json::parse(text)) {
    const std::string plain = format_audit_table(*value, false);
    FUZZ_CHECK(!plain.empty() && plain.back() == '\n');
  }
  return 0;
}
