// note/memory create and update: every local check first, then the gate.
#include <unistd.h>

#include <optional>
#include <string>
#include <utility>

#include "cli/commands/text_entry.h"
#include "cli/commands/text_entry_common.h"
#include "cli/input.h"
#include "cli/stdin_readers.h"
#include "cli/terminal.h"
#include "gate/context.h"
#include "gate/json.h"
#include "gate/vault_text.h"

namespace pellucor {

namespace {

constexpr std::string_view kDefaultStatus = "draft";

// The values create and update take from their options. The files are read
// only once the whole command line has been checked (read_value_files), so
// that a refusal, such as standard input named twice, reads nothing.
struct EntryValues {
  std::optional<std::string> summary_path;
  std::optional<std::string> content_path;  // read later, once the other checks have passed
  std::optional<std::string> status;
  std::optional<std::string> embeddings_path;
  std::optional<std::string> embedding_model;
  StandardInputReaders stdin_readers;
  // What read_value_files read.
  std::optional<SecureString> summary;
  std::optional<SecureString> embeddings;
};

// take_path_option takes the path of the file option just met and notes
// whether it names standard input.
std::expected<void, CliError> take_path_option(ArgParser& args, std::string_view option, EntryValues& values,
                                               std::optional<std::string>& path) {
  auto value = option_value_string(args, option);
  if (!value) return std::unexpected(std::move(value.error()));
  if (auto once = values.stdin_readers.claim_file(option, *value); !once) return once;
  path = std::move(*value);
  return {};
}

// read_value_option takes `token` when it is one of the value options of
// create and update and returns true; false for any other token. The secret
// options are refused before their value is looked at; create also offers
// --json in the refusal.
std::expected<bool, CliError> read_value_option(const ArgToken& token, ArgParser& args, EntryValues& values,
                                                bool offer_json) {
  const std::string_view or_json = offer_json ? " or --json" : "";
  if (token.is_long("summary"))
    return std::unexpected(secret_on_argv_error("--summary", "--summary-file PATH" + std::string(or_json)));
  if (token.is_long("content"))
    return std::unexpected(secret_on_argv_error("--content", "--content-file PATH" + std::string(or_json)));
  if (token.is_long("embeddings"))
    return std::unexpected(secret_on_argv_error("--embeddings", "--embeddings-file PATH" + std::string(or_json)));

  std::expected<void, CliError> path = {};
  if (token.is_long("summary-file")) {
    path = take_path_option(args, "--summary-file", values, values.summary_path);
  } else if (token.is_long("content-file")) {
    path = take_path_option(args, "--content-file", values, values.content_path);
  } else if (token.is_long("status")) {
    auto status = option_value_string(args, "--status");
    if (!status) return std::unexpected(std::move(status.error()));
    values.status = std::move(*status);
  } else if (token.is_long("embeddings-file")) {
    path = take_path_option(args, "--embeddings-file", values, values.embeddings_path);
  } else if (token.is_long("embedding-model")) {
    auto model = option_value_string(args, "--embedding-model");
    if (!model) return std::unexpected(std::move(model.error()));
    values.embedding_model = std::move(*model);
  } else {
    return false;
  }
  if (!path) return std::unexpected(std::move(path.error()));
  return true;
}

// read_value_files reads the summary and embeddings files named by the
// options, in that order ("-" at a terminal is read with echo off for the
// summary).
std::expected<void, CliError> read_value_files(EntryValues& values) {
  if (values.summary_path) {
    // The summary is a secret: typed at a terminal, it is not shown.
    auto text = read_secret_source(*values.summary_path);
    if (!text) return std::unexpected(std::move(text.error()));
    values.summary = std::move(*text);
  }
  if (values.embeddings_path) {
    auto text = read_text_source(*values.embeddings_path);
    if (!text) return std::unexpected(std::move(text.error()));
    values.embeddings = std::move(*text);
  }
  return {};
}

std::optional<std::string_view> view_of(const std::optional<SecureString>& s) {
  return s ? std::optional<std::string_view>(s->view()) : std::nullopt;
}

std::optional<std::string_view> view_of(const std::optional<std::string>& s) {
  return s ? std::optional<std::string_view>(*s) : std::nullopt;
}

// ---- create ----

struct CreateOptions {
  EntryValues values;
  bool json = false;
};

std::expected<CreateOptions, CliError> parse_create_options(ArgParser& args) {
  CreateOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    auto taken = read_value_option(token, args, o.values, true);
    if (!taken) return std::unexpected(std::move(taken.error()));
    if (*taken) continue;
    if (token.is_long("json")) {
      if (auto once = o.values.stdin_readers.claim("--json"); !once)
        return std::unexpected(std::move(once.error()));
      o.json = true;
    } else {
      return std::unexpected(unexpected_argument(token));
    }
  }
  // Without --content-file, piped content is read from standard input.
  if (!o.json && !o.values.content_path && ::isatty(STDIN_FILENO) != 1) {
    if (auto once = o.values.stdin_readers.claim("the piped content (no --content-file)"); !once)
      return std::unexpected(std::move(once.error()));
  }
  if (auto read = read_value_files(o.values); !read) return std::unexpected(std::move(read.error()));
  return o;
}

// The values of create, all known: summary and content are given.
struct CreateValues {
  SecureString summary;
  SecureString content;
  std::string status;
  std::optional<SecureString> embeddings;
  std::optional<std::string> embedding_model;
};

// take_json_text moves the text of `key` out of the stdin object, wiping the
// parsed copy: the summary and content are secrets.
std::optional<SecureString> take_json_text(json::Value& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  std::string& text = it->get_ref<std::string&>();
  SecureString out(text.data(), text.size());
  wipe_bytes(text.data(), text.size());
  return out;
}

std::expected<CreateValues, CliError> values_from_json(json::Value& input) {
  static constexpr std::string_view kAllowed[] = {"summary", "content", "status", "embeddings", "embedding_model"};
  if (input.is_object()) {
    // Keys come in sorted order, so the first unknown one is named.
    for (const auto& item : input.items()) {
      bool known = false;
      for (std::string_view k : kAllowed) known = known || item.key() == k;
      if (!known)
        return std::unexpected(new_argument_error(
            "unknown key '" + single_line_text(item.key()) +
            "' \u2014 a typo would silently lose the value (allowed: summary, content, status, embeddings, "
            "embedding_model)"));
    }
  }
  CreateValues v;
  auto summary = take_json_text(input, "summary");
  if (!summary) return std::unexpected(new_argument_error("JSON missing \"summary\" field"));
  v.summary = std::move(*summary);
  auto content = take_json_text(input, "content");
  if (!content) return std::unexpected(new_argument_error("JSON missing \"content\" field"));
  v.content = std::move(*content);
  auto status = take_json_text(input, "status");
  v.status = status ? std::string(status->view()) : std::string(kDefaultStatus);
  v.embeddings = take_json_text(input, "embeddings");
  if (auto model = take_json_text(input, "embedding_model")) v.embedding_model = std::string(model->view());
  return v;
}

std::expected<CreateValues, CliError> read_json_values() {
  auto text = read_secret_stdin();
  if (!text) return std::unexpected(std::move(text.error()));
  auto parsed = json::parse(text->view());
  if (!parsed) return std::unexpected(new_argument_error("invalid JSON on stdin: " + parsed.error().text()));
  auto values = values_from_json(*parsed);
  // Unknown keys and values of the wrong type may hold secrets too.
  json::wipe_strings(*parsed);
  return values;
}

std::expected<CreateValues, CliError> values_from_options(EntryValues&& o) {
  if (!o.summary)
    return std::unexpected(new_argument_error("--summary-file is required (L2 secret \u2014 not on argv; or use --json)"));
  auto content = read_text_entry_content(std::nullopt, o.content_path);
  if (!content) return std::unexpected(std::move(content.error()));
  CreateValues v;
  v.summary = std::move(*o.summary);
  v.content = std::move(*content);
  v.status = o.status ? std::move(*o.status) : std::string(kDefaultStatus);
  v.embeddings = std::move(o.embeddings);
  v.embedding_model = std::move(o.embedding_model);
  return v;
}

// ---- update ----

struct UpdateOptions {
  TextEntryQuery query;
  EntryValues values;
};

std::expected<UpdateOptions, CliError> parse_update_options(ArgParser& args) {
  UpdateOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    auto taken = read_value_option(token, args, o.values, false);
    if (!taken) return std::unexpected(std::move(taken.error()));
    if (*taken) continue;
    auto query = read_query_token(token, o.query);
    if (!query) return std::unexpected(std::move(query.error()));
    if (!*query) return std::unexpected(unexpected_argument(token));
  }
  if (!o.query.text) return std::unexpected(new_argument_error("missing <query>"));
  if (auto read = read_value_files(o.values); !read) return std::unexpected(std::move(read.error()));
  return o;
}

// The first non-empty tier-1 value of the field labelled exactly `label`.
std::optional<std::string_view> existing_plain_value(const std::vector<Field>& fields, std::string_view label) {
  for (const Field& f : fields) {
    if (f.label == label && f.tier == 1 && !f.value.empty()) return std::string_view(f.value);
  }
  return std::nullopt;
}

}  // namespace

std::expected<EntryUpsertBody, CliError> build_text_entry_body(TextEntryKind kind, std::string_view summary,
                                                               std::string_view content, std::string_view status,
                                                               std::optional<std::string_view> embeddings,
                                                               std::optional<std::string_view> embedding_model,
                                                               const L2Key& l2) {
  auto summary_ct = encrypt_field(l2, "summary", summary);
  if (!summary_ct)
    return std::unexpected(make_error(err::PL_2081, "encrypting summary: " + format_context_error(summary_ct.error())));
  auto content_ct = encrypt_field(l2, "content", content);
  if (!content_ct)
    return std::unexpected(make_error(err::PL_2081, "encrypting content: " + format_context_error(content_ct.error())));

  EntryUpsertBody body;
  body.title = std::string(summary);
  body.type = std::string(text_entry_kind_word(kind));
  body.fields.push_back({"summary", std::move(*summary_ct), "text", 2});
  body.fields.push_back({"content", std::move(*content_ct), "text", 2});
  body.fields.push_back({"status", std::string(status), "text", 1});
  if (embeddings) body.fields.push_back({"embeddings", std::string(*embeddings), "binary", 1});
  if (embedding_model) body.fields.push_back({"embedding_model", std::string(*embedding_model), "text", 1});
  return body;
}

std::expected<void, CliError> run_text_entry_create(TextEntryKind kind, ArgParser& args) {
  auto options = parse_create_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  // With --json the options were still read and checked, but every value
  // comes from standard input.
  auto values = options->json ? read_json_values() : values_from_options(std::move(options->values));
  if (!values) return std::unexpected(std::move(values.error()));

  if (auto ok = check_content_size(values->content.size()); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = parse_text_entry_status(values->status); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = embedding_model_required_error(values->embeddings.has_value(), values->embedding_model.has_value());
      !ok)
    return std::unexpected(std::move(ok.error()));

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  auto body = build_text_entry_body(kind, values->summary.view(), values->content.view(), values->status,
                                    view_of(values->embeddings), view_of(values->embedding_model), ctx->keys.l2);
  if (!body) return std::unexpected(std::move(body.error()));
  auto created = upsert_entry(*ctx, *body);
  if (!created) return std::unexpected(std::move(created.error()));

  SecureString message(*created ? "Created: " : "Updated: ");
  message.append(values->summary.view());
  print_ok(message.view());
  return {};
}

std::expected<void, CliError> run_text_entry_update(TextEntryKind kind, ArgParser& args) {
  auto options = parse_update_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  EntryValues& given = options->values;
  if (given.status) {
    if (auto ok = parse_text_entry_status(*given.status); !ok) return std::unexpected(std::move(ok.error()));
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  auto entry_id = find_single_entry(*ctx, *options->query.text, options->query.exact, text_entry_kind_word(kind));
  if (!entry_id) return std::unexpected(std::move(entry_id.error()));
  auto entry = fetch_text_entry(*ctx, kind, *entry_id);
  if (!entry) return std::unexpected(std::move(entry.error()));
  if (!entry->data) return std::unexpected(make_error(err::PL_2021, "entry response had no data block"));
  const std::vector<Field>& fields = entry->data->fields;

  // Both stored secrets must open even when both are replaced: an entry this
  // key cannot read is not overwritten.
  auto old_summary = read_existing_l2_field(fields, "summary", ctx->keys.l2);
  if (!old_summary) return std::unexpected(std::move(old_summary.error()));
  auto old_content = read_existing_l2_field(fields, "content", ctx->keys.l2);
  if (!old_content) return std::unexpected(std::move(old_content.error()));
  const Field* stored_status = first_field_labelled(fields, "status");
  const std::string_view old_status = stored_status ? std::string_view(stored_status->value) : kDefaultStatus;

  const SecureString& summary = given.summary ? *given.summary : *old_summary;
  std::optional<SecureString> new_content;
  if (given.content_path) {
    auto read = read_text_entry_content(std::nullopt, given.content_path);
    if (!read) return std::unexpected(std::move(read.error()));
    new_content = std::move(*read);
  }
  const SecureString& content = new_content ? *new_content : *old_content;
  const std::string_view status = given.status ? std::string_view(*given.status) : old_status;
  const std::optional<std::string_view> embeddings =
      given.embeddings ? view_of(given.embeddings) : existing_plain_value(fields, "embeddings");
  const std::optional<std::string_view> model =
      given.embedding_model ? view_of(given.embedding_model) : existing_plain_value(fields, "embedding_model");

  if (auto ok = check_content_size(content.size()); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = embedding_model_required_error(embeddings.has_value(), model.has_value()); !ok)
    return std::unexpected(std::move(ok.error()));

  auto body = build_text_entry_body(kind, summary.view(), content.view(), status, embeddings, model, ctx->keys.l2);
  if (!body) return std::unexpected(std::move(body.error()));
  body->id = entry->entry_id;
  auto upserted = upsert_entry(*ctx, *body);
  if (!upserted) return std::unexpected(std::move(upserted.error()));

  SecureString message("Updated: ");
  message.append(summary.view());
  print_ok(message.view());
  return {};
}

}  // namespace pellucor
