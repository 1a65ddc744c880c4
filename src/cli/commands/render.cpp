#include "cli/commands/render.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <optional>
#include <utility>

#include "cli/commands/get.h"
#include "cli/input.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "crypto/field_keys.h"
#include "crypto/secure_buffer.h"
#include "gate/context.h"
#include "gate/entry_ops.h"
#include "gate/match_shaping.h"
#include "gate/os_error.h"
#include "gate/vault_text.h"

namespace pellucor {

const std::string_view kRenderUsage = "Usage: pellucor-cli render <file>  (use - for stdin)\n";

namespace {

constexpr std::string_view kScheme = "pellucor://";
// Room for values longer than the references they replace, before the output
// buffer has to grow.
constexpr std::size_t kOutputSlack = 256;

// The bytes that end a reference body: white space and the punctuation that
// closes a value in JSON, YAML, TOML and env files. Nothing else does, so a
// title or label holding one of these cannot be referenced.
constexpr bool is_reference_terminator(char c) {
  switch (c) {
    case '\t':
    case '\n':
    case '\r':
    case ' ':
    case '"':
    case '\'':
    case ',':
    case '}':
      return true;
    default:
      return false;
  }
}

CliError scan_error(std::size_t line, std::string_view detail) {
  return make_error(err::PL_2062, "line " + std::to_string(line) + ": " + std::string(detail));
}

struct RenderOptions {
  std::optional<std::string> path;
  bool help = false;
};

std::expected<RenderOptions, CliError> parse_options(ArgParser& args) {
  RenderOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      o.help = true;
      return o;
    }
    if (token.is_value() && !o.path) {
      if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("file: not valid UTF-8"));
      o.path = token.text;
    } else {
      return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
    }
  }
  if (!o.path) return std::unexpected(new_argument_error("missing <file> (try: pellucor-cli render config.json)"));
  return o;
}

// The template, whole. Too large is reported as the reader said; every other
// reader failure keeps its message under the template record.
std::expected<SecureString, CliError> read_template(const std::string& path) {
  std::expected<SecureString, CliError> text;
  if (path == "-") {
    text = read_stdin_bounded();
  } else {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return std::unexpected(
          make_error(err::PL_2060, "opening " + single_line_text(path) + ": " + os_error_text(errno)));
    text = read_file_bounded(fd, path);
  }
  if (!text && text.error().error.code != err::PL_2110.code) text.error().error = err::PL_2060;
  return text;
}

// "pellucor://<entry>/<label>" as the messages name a reference.
std::string reference_text(const TemplateReference& ref) {
  return std::string(kScheme) + ref.entry_name + "/" + ref.field_label;
}

CliError reference_error(const PellucorError& record, const TemplateReference& ref, std::string_view tail) {
  return make_error(record, "line " + std::to_string(ref.line) + ": " + reference_text(ref) + std::string(tail));
}

// The caps of the template checked before the first gate call: at most
// MAX_TEMPLATE_TITLES different titles (byte for byte: DB and db are two).
std::expected<void, CliError> check_distinct_titles(const std::vector<TemplateReference>& refs) {
  std::vector<std::string_view> titles;
  for (const TemplateReference& ref : refs) {
    if (std::find(titles.begin(), titles.end(), ref.entry_name) == titles.end()) titles.push_back(ref.entry_name);
  }
  if (titles.size() <= MAX_TEMPLATE_TITLES) return {};
  return std::unexpected(make_error(
      err::PL_2061, std::to_string(titles.size()) + " distinct entries referenced (max " +
                        std::to_string(MAX_TEMPLATE_TITLES) +
                        "). render is not a bulk extraction tool \u2014 split your config or split your run."));
}

// One key of the resolution: an entry title and a field label, byte for byte.
using ResolutionKey = std::pair<std::string, std::string>;

// The values of the template's references, one per distinct key, and for
// each reference the index of its value.
struct Resolution {
  std::vector<SecureString> values;
  std::vector<std::size_t> slot_of_reference;
};

// resolve_reference makes the gate calls for one key: one exact search by
// title, one fetch of the single match, then the field by label (the notes
// pseudo-field included), refusing L3 and decrypting L2. The fetched entry
// joins `entries` unless that would pass the vault-entry cap.
std::expected<SecureString, CliError> resolve_reference(const GateContext& ctx, const TemplateReference& ref,
                                                        std::vector<std::string>& entries) {
  auto response = search_entries(ctx, ref.entry_name, true, std::nullopt);
  if (!response) return std::unexpected(std::move(response.error()));
  MatchSet matches = summarize_matches(std::move(*response));
  if (matches.kind == MatchSet::Kind::None)
    return std::unexpected(reference_error(err::PL_2063, ref, " \u2014 entry not found"));
  if (matches.kind == MatchSet::Kind::Many)
    return std::unexpected(reference_error(err::PL_2063, ref, " \u2014 multiple matches; be more specific"));

  auto entry = get_entry(ctx, matches.entry_id);
  if (!entry) return std::unexpected(std::move(entry.error()));
  if (!entry->data)
    return std::unexpected(
        make_error(err::PL_2063, "line " + std::to_string(ref.line) + ": vault returned no data for entry"));
  std::vector<Field> fields = std::move(entry->data->fields);
  append_notes_field(fields, entry->data->notes);

  const Field* field = find_field_ignore_case(fields, ref.field_label);
  if (field == nullptr) return std::unexpected(reference_error(err::PL_2063, ref, " \u2014 field not found"));
  if (field->tier > 2)
    return std::unexpected(
        reference_error(err::PL_2048, ref, " is L3 \u2014 vault never releases L3 plaintext to agents"));

  SecureString value;
  if (field->tier == 2 && !field->value.empty()) {
    auto plaintext = decrypt_field(ctx.keys.l2, field->label, field->value);
    if (!plaintext)
      return std::unexpected(make_error(err::PL_2049, "line " + std::to_string(ref.line) + ": decrypt failed for " +
                                                          reference_text(ref) + ": " +
                                                          format_context_error(plaintext.error())));
    value = std::move(*plaintext);
  } else {
    value.assign(field->value);
  }

  // Counted by the id that was fetched, so the count does not rest on what
  // the reply says about itself.
  if (std::find(entries.begin(), entries.end(), matches.entry_id) == entries.end()) {
    if (entries.size() >= MAX_TEMPLATE_ENTRIES)
      return std::unexpected(make_error(err::PL_2061, "more than " + std::to_string(MAX_TEMPLATE_ENTRIES) +
                                                          " distinct vault entries after resolution \u2014 split "
                                                          "your config or split your run."));
    entries.push_back(std::move(matches.entry_id));
  }
  return value;
}

// resolve_references resolves the references in text order; a key already
// resolved costs no gate call. The first failure in text order is returned.
std::expected<Resolution, CliError> resolve_references(const GateContext& ctx,
                                                       const std::vector<TemplateReference>& refs) {
  Resolution resolution;
  resolution.values.reserve(refs.size());
  resolution.slot_of_reference.reserve(refs.size());
  std::map<ResolutionKey, std::size_t> slots;
  std::vector<std::string> entries;
  for (const TemplateReference& ref : refs) {
    ResolutionKey key{ref.entry_name, ref.field_label};
    auto known = slots.find(key);
    if (known != slots.end()) {
      resolution.slot_of_reference.push_back(known->second);
      continue;
    }
    auto value = resolve_reference(ctx, ref, entries);
    if (!value) return std::unexpected(std::move(value.error()));
    const std::size_t slot = resolution.values.size();
    resolution.values.push_back(std::move(*value));
    slots.emplace(std::move(key), slot);
    resolution.slot_of_reference.push_back(slot);
  }
  return resolution;
}

// assemble_output: the template with every reference replaced by its value,
// in a buffer that is wiped when freed (it holds the secrets).
SecureString assemble_output(std::string_view text, const std::vector<TemplateReference>& refs,
                             const Resolution& resolution) {
  SecureString out;
  out.reserve(text.size() + kOutputSlack);
  std::size_t copied = 0;
  for (std::size_t i = 0; i < refs.size(); ++i) {
    out.append(text.substr(copied, refs[i].start - copied));
    out.append(resolution.values[resolution.slot_of_reference[i]]);
    copied = refs[i].end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

std::expected<std::vector<TemplateReference>, CliError> scan_template_references(std::string_view text) {
  std::vector<TemplateReference> refs;
  std::size_t line = 1;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t start = text.find(kScheme, pos);
    if (start == std::string_view::npos) break;
    line += static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(pos),
                                                text.begin() + static_cast<std::ptrdiff_t>(start), '\n'));
    const std::size_t body_start = start + kScheme.size();
    std::size_t end = body_start;
    while (end < text.size() && !is_reference_terminator(text[end])) ++end;
    const std::string_view body = text.substr(body_start, end - body_start);

    if (body.empty()) return std::unexpected(scan_error(line, "empty `pellucor://` reference"));
    const std::size_t slash = body.find('/');
    if (slash == std::string_view::npos)
      return std::unexpected(scan_error(line, std::string(kScheme) + std::string(body) + " \u2014 missing /field"));
    if (slash == 0 || slash + 1 == body.size())
      return std::unexpected(
          scan_error(line, std::string(kScheme) + std::string(body) + " \u2014 empty entry or field"));

    refs.push_back(TemplateReference{std::string(body.substr(0, slash)), std::string(body.substr(slash + 1)), line,
                                     start, end});
    if (refs.size() > MAX_TEMPLATE_REFERENCES)
      return std::unexpected(make_error(
          err::PL_2061, "more than " + std::to_string(MAX_TEMPLATE_REFERENCES) + " references in template"));
    pos = end;
  }
  return refs;
}

std::expected<void, CliError> run_render(ArgParser& args) {
  auto options = parse_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  if (options->help) {
    write_stdout(kRenderUsage);
    return {};
  }

  auto text = read_template(*options->path);
  if (!text) return std::unexpected(std::move(text.error()));
  auto refs = scan_template_references(text->view());
  if (!refs) return std::unexpected(std::move(refs.error()));
  if (refs->empty()) {
    write_stdout(value_for_stdout(text->view()));
    return {};
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  if (auto titles = check_distinct_titles(*refs); !titles) return std::unexpected(std::move(titles.error()));

  auto resolution = resolve_references(*ctx, *refs);
  if (!resolution) return std::unexpected(std::move(resolution.error()));
  const SecureString out = assemble_output(text->view(), *refs, *resolution);

  write_stderr("warning: render wrote " + std::to_string(resolution->values.size()) +
               " secret field(s) to stdout \u2014 do not capture this in an agent transcript; pipe only to the "
               "local consumer\n");
  write_stdout(value_for_stdout(out.view()));
  return {};
}

}  // namespace pellucor
