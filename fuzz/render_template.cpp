// scan_template_references on arbitrary bytes. Every reference it returns
// must be exactly where it says: in text order, not overlapping, starting with
// the scheme, its body the entry name, "/" and the label, ended by a
// terminator byte or the end of the text, on the line its offset is on.
#include <algorithm>
#include <string_view>

#include "cli/commands/render.h"
#include "fuzz_common.h"

using namespace pellucor;

namespace {

constexpr std::string_view kScheme = "pellucor://";
constexpr std::string_view kTerminators = "\t\n\r \"',}";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  auto scanned = scan_template_references(text);
  if (!scanned) {
    FUZZ_CHECK(!scanned.error().message.empty());
    return 0;
  }
  const auto& refs = *scanned;
  FUZZ_CHECK(refs.size() <= MAX_TEMPLATE_REFERENCES);
  std::size_t previous_end = 0;
  for (const TemplateReference& r : refs) {
    FUZZ_CHECK(r.start >= previous_end && r.start < r.end && r.end <= text.size());
    FUZZ_CHECK(text.substr(r.start, kScheme.size()) == kScheme);
    const std::string_view body = text.substr(r.start + kScheme.size(), r.end - r.start - kScheme.size());
    FUZZ_CHECK(!r.entry_name.empty() && !r.field_label.empty());
    FUZZ_CHECK(r.entry_name.find('/') == std::string::npos);
    FUZZ_CHECK(body == r.entry_name + "/" + r.field_label);
    FUZZ_CHECK(body.find_first_of(kTerminators) == std::string_view::npos);
    FUZZ_CHECK(r.end == text.size() || kTerminators.find(text[r.end]) != std::string_view::npos);
    const auto line_feeds = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(r.start), '\n');
    FUZZ_CHECK(r.line == static_cast<std::size_t>(line_feeds) + 1);
    previous_end = r.end;
  }
  // No scheme is left unreported outside the references' bodies.
  std::size_t at = 0;
  for (const TemplateReference& r : refs) {
    FUZZ_CHECK(text.substr(at, r.start - at).find(kScheme) == std::string_view::npos);
    at = r.end;
  }
  FUZZ_CHECK(text.substr(at).find(kScheme) == std::string_view::npos);
  return 0;
}
