#include "cli/commands/get.h"

#include <optional>
#include <utility>
#include <vector>

#include "cli/input.h"
#include "cli/schema.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "gate/context.h"
#include "gate/entry_ops.h"
#include "gate/os_error.h"
#include "gate/vault_text.h"
#include "gate/write_fully.h"

namespace pellucor {

const std::string_view kGetUsage =
    "Usage: pellucor-cli get <query> [--field <label>] [--json] [--fuzzy] [--type <entry type>]\n"
    "  Title match is exact by default (case-insensitive). --fuzzy allows substring.\n"
    "  --type narrows by what the entry IS (api_key, credential, note, ssh_key, totp, \u2026)\n"
    "  \u2014 the disambiguator when two entries share a name, e.g. a console login\n"
    "  (credential) and its API key (api_key). Aliases: api \u2192 api_key, ssh \u2192 ssh_key.\n";

namespace {

constexpr std::string_view kL3Placeholder = "[L3 \u2014 requires hardware key]";

struct GetOptions {
  std::optional<std::string> query;
  std::optional<std::string> field;
  std::optional<std::string> type;
  bool json = false;
  bool exact = true;
  bool help = false;
};

std::expected<GetOptions, CliError> parse_options(ArgParser& args) {
  GetOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      o.help = true;
      return o;
    }
    if (token.is_long("field")) {
      auto v = option_value_string(args, "--field");
      if (!v) return std::unexpected(std::move(v.error()));
      o.field = std::move(*v);
    } else if (token.is_long("type")) {
      auto v = option_value_string(args, "--type");
      if (!v) return std::unexpected(std::move(v.error()));
      o.type = std::string(resolve_type_alias(*v));
    } else if (token.is_long("json")) {
      o.json = true;
    } else if (token.is_long("exact")) {
      o.exact = true;
    } else if (token.is_long("fuzzy")) {
      o.exact = false;
    } else if (token.is_value() && !o.query) {
      if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("query: not valid UTF-8"));
      o.query = token.text;
    } else {
      return std::unexpected(new_argument_error("unexpected: " + arg_token_debug(token)));
    }
  }
  if (!o.query) return std::unexpected(new_argument_error("missing <query> (try: pellucor-cli get OpenAI)"));
  return o;
}

bool has_label(const std::vector<Field>& fields, std::string_view label) {
  return find_field_ignore_case(fields, label) != nullptr;
}

// The entry's fields in the vault's order, then the notes and url
// pseudo-fields when the entry has notes or URLs and no field of that name.
std::vector<Field> working_fields(EntryData&& data) {
  std::vector<Field> fields = std::move(data.fields);
  const bool add_url = !data.urls.empty() && !has_label(fields, "url");
  append_notes_field(fields, data.notes);
  if (add_url) {
    std::string joined;
    for (const std::string& u : data.urls) {
      if (!joined.empty()) joined += ", ";
      joined += u;
    }
    fields.push_back(Field{"url", std::move(joined), "url", 1});
  }
  return fields;
}

// Writes the value to stdout (whole for a pipe, made safe for a terminal);
// returns the error number of a failed write.
std::optional<int> write_raw_stdout(std::string_view bytes) {
  const SanitizedText shown = value_for_stdout(bytes);
  if (const int error = write_fully(1, shown.view()); error != 0) return error;
  return std::nullopt;
}

std::expected<void, CliError> print_one_field(const GateContext& ctx, const std::vector<Field>& fields,
                                              std::string_view wanted) {
  const Field* field = find_field_ignore_case(fields, wanted);
  if (field == nullptr)
    return std::unexpected(make_error(err::PL_2050, "entry has no field named '" + single_line_text(wanted) + "'"));
  if (field->tier > 2)
    return std::unexpected(make_error(err::PL_2048, "field '" + single_line_text(field->label) +
                                                        "' is L3 \u2014 vault does not release L3 plaintext to "
                                                        "agents (hardware key required)"));
  std::optional<int> write_error;
  if (field->tier == 2 && !field->value.empty()) {
    auto plaintext = decrypt_field(ctx.keys.l2, field->label, field->value);
    if (!plaintext)
      return std::unexpected(make_error(err::PL_2049, "decrypt field '" + single_line_text(field->label) +
                                                          "' failed: " + format_context_error(plaintext.error())));
    write_error = write_raw_stdout(plaintext->view());
  } else {
    write_error = write_raw_stdout(field->value);
  }
  if (write_error) return std::unexpected(new_argument_error("write field: " + os_error_text(*write_error)));
  return {};
}

std::expected<void, CliError> print_listing(const GateContext& ctx, const std::vector<Field>& fields) {
  // Everything is decrypted before the first line is printed, so a field that
  // does not decrypt leaves stdout untouched.
  auto items = decrypt_fields(fields, ctx.keys.l2);
  if (!items) return std::unexpected(std::move(items.error()));
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const Field& f = fields[i];
    if (f.tier > 2) {
      print_field_greyed(f.label, kL3Placeholder);
    } else if (const auto& plaintext = (*items)[i].plaintext) {
      print_field(f.label, plaintext->view());
    } else {
      print_field(f.label, f.value);
    }
  }
  return {};
}

}  // namespace

bool label_equals_ignore_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

const Field* find_field_ignore_case(const std::vector<Field>& fields, std::string_view label) {
  for (const Field& f : fields) {
    if (label_equals_ignore_case(f.label, label)) return &f;
  }
  return nullptr;
}

void append_notes_field(std::vector<Field>& fields, std::optional<std::string>& notes) {
  if (!notes || notes->empty() || find_field_ignore_case(fields, "notes") != nullptr) return;
  fields.push_back(Field{"notes", std::move(*notes), "text", 2});
}

std::string to_pretty_json(const json::Value& value) {
  if (!json::is_writable(value)) return {};
  return json::to_pretty(value);
}

std::expected<void, CliError> print_entry_json(const GateContext& ctx, std::string_view entry_id) {
  auto raw = get_entry_json(ctx, entry_id);
  if (!raw) return std::unexpected(std::move(raw.error()));
  write_stdout(to_pretty_json(*raw) + "\n");
  return {};
}

std::expected<void, CliError> run_get(ArgParser& args) {
  auto options = parse_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  if (options->help) {
    write_stdout(kGetUsage);
    return {};
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  const std::optional<std::string_view> type =
      options->type ? std::optional<std::string_view>(*options->type) : std::nullopt;
  auto entry_id = find_single_entry(*ctx, *options->query, options->exact, type);
  if (!entry_id) return std::unexpected(std::move(entry_id.error()));

  if (options->json) return print_entry_json(*ctx, *entry_id);

  auto entry = get_entry(*ctx, *entry_id);
  if (!entry) return std::unexpected(std::move(entry.error()));
  if (!entry->data) return std::unexpected(make_error(err::PL_2021, "entry response had no data block"));
  const std::vector<Field> fields = working_fields(std::move(*entry->data));

  if (options->field) return print_one_field(*ctx, fields, *options->field);
  return print_listing(*ctx, fields);
}

}  // namespace pellucor
