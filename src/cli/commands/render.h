// The render command: fill a text template with field values from the vault,
// so a configuration file can be produced for a local consumer without the
// secrets ever being typed. A reference is "pellucor://" + entry title + "/"
// + field label; the finished text goes to stdout in one piece, and only when
// every reference resolved.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "cli/arg_parser.h"
#include "crypto/errors.h"

namespace pellucor {

// The usage text printed by `render --help`.
extern const std::string_view kRenderUsage;

// The caps of one template: references in the text, distinct titles they
// name (checked before any gate call), and distinct vault entries those
// titles resolve to.
inline constexpr std::size_t MAX_TEMPLATE_REFERENCES = 128;
inline constexpr std::size_t MAX_TEMPLATE_TITLES = 10;
inline constexpr std::size_t MAX_TEMPLATE_ENTRIES = 10;

// One reference found in a template.
struct TemplateReference {
  std::string entry_name;   // the body before its first '/'
  std::string field_label;  // the rest of the body (may itself hold '/')
  std::size_t line = 0;     // 1-based line of the reference
  std::size_t start = 0;    // offset of the "p" of "pellucor://"
  std::size_t end = 0;      // offset just past the body (the terminator stays in the text)

  bool operator==(const TemplateReference&) const = default;
};

// scan_template_references finds every reference in `text`, in text order.
// A body runs up to the first tab, line feed, carriage return, space, '"',
// '\'', ',' or '}' (or the end of the text); no other byte ends it. Any bytes
// are accepted. The first fault in text order fails the scan:
//   PL-2062 "line N: empty `pellucor://` reference"
//   PL-2062 "line N: pellucor://BODY — missing /field"
//   PL-2062 "line N: pellucor://BODY — empty entry or field"
//   PL-2061 "more than 128 references in template" (at the 129th)
std::expected<std::vector<TemplateReference>, CliError> scan_template_references(std::string_view text);

// run_render runs `pellucor-cli render <file>` ("-" reads standard input).
std::expected<void, CliError> run_render(ArgParser& args);

}  // namespace pellucor
