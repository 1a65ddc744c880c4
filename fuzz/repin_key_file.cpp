// The repin key-file parser on arbitrary text. An accepted file maps
// lower-case host names to keys that parse as channel keys, one entry at most
// per non-empty line; a refusal names its line.
#include <algorithm>

#include "cli/commands/repin.h"
#include "crypto/channel_key.h"
#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "fuzz_common.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  auto keys = parse_node_key_file(text);
  if (!keys) {
    FUZZ_CHECK(keys.error().message.starts_with("--keys line "));
    return 0;
  }
  FUZZ_CHECK(keys->size() <= static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  for (const auto& [host, key] : *keys) {
    FUZZ_CHECK(!host.empty() && trim_white_space(host) == host);
    FUZZ_CHECK(std::none_of(host.begin(), host.end(), [](char c) { return c >= 'A' && c <= 'Z'; }));
    FUZZ_CHECK(host.find('#') == std::string::npos);
    FUZZ_CHECK(is_channel_key_text(key) && parse_channel_key(key).has_value());
  }
  return 0;
}
