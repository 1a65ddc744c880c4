// Dispatch of the note and memory subcommands and the checks they share.
#include "cli/commands/text_entry.h"

#include <unistd.h>

#include <string>
#include <utility>

#include "cli/commands/get.h"
#include "cli/commands/text_entry_common.h"
#include "cli/input.h"
#include "cli/utf8.h"
#include "gate/vault_text.h"

namespace pellucor {

std::string_view text_entry_kind_word(TextEntryKind kind) {
  return kind == TextEntryKind::Note ? "note" : "memory";
}

std::expected<void, CliError> run_note(ArgParser& args) {
  return run_text_entry_command(TextEntryKind::Note, args);
}

std::expected<void, CliError> run_memory(ArgParser& args) {
  return run_text_entry_command(TextEntryKind::Memory, args);
}

std::expected<void, CliError> run_text_entry_command(TextEntryKind kind, ArgParser& args) {
  // The word is taken whatever it looks like, so "--json" here is a wrong
  // subcommand rather than an option.
  auto word = option_value_string(args, "<subcommand>");
  if (!word) return std::unexpected(std::move(word.error()));
  if (*word == "create") return run_text_entry_create(kind, args);
  if (*word == "get") return run_text_entry_get(kind, args);
  if (*word == "update") return run_text_entry_update(kind, args);
  if (*word == "delete") return run_text_entry_delete(kind, args);
  if (*word == "search") return run_text_entry_search(kind, args);
  // The list of words to try names "list", which is not a subcommand: the
  // message is kept as users and scripts know it, and "list" lands here too.
  return std::unexpected(new_argument_error("unknown " + std::string(text_entry_kind_word(kind)) +
                                            " subcommand '" + single_line_text(*word) +
                                            "' (try: create, list, get, update, delete, search)"));
}

CliError unexpected_argument(const ArgToken& token) {
  return new_argument_error("unexpected: " + arg_token_debug(token));
}

std::expected<bool, CliError> read_query_token(const ArgToken& token, TextEntryQuery& query) {
  if (token.is_long("exact")) {
    query.exact = true;
  } else if (token.is_long("fuzzy")) {
    query.exact = false;
  } else if (token.is_value() && !query.text) {
    if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("query: not valid UTF-8"));
    query.text = token.text;
  } else {
    return false;
  }
  return true;
}

const Field* first_field_labelled(const std::vector<Field>& fields, std::string_view label) {
  for (const Field& f : fields) {
    if (f.label == label) return &f;
  }
  return nullptr;
}

std::expected<Entry, CliError> fetch_text_entry(const GateContext& ctx, TextEntryKind kind,
                                                std::string_view entry_id) {
  auto entry = get_entry(ctx, entry_id);
  if (!entry) return std::unexpected(std::move(entry.error()));
  if (auto ok = check_entry_kind(kind, *entry); !ok) return std::unexpected(std::move(ok.error()));
  return std::move(*entry);
}

CliError secret_on_argv_error(std::string_view option, std::string_view alternative) {
  return new_argument_error(std::string(option) +
                            " is a secret field and must not appear on the command line; use " +
                            std::string(alternative));
}

std::expected<SecureString, CliError> read_text_entry_content(std::optional<SecureString> given,
                                                              const std::optional<std::string>& path) {
  if (given) return std::move(*given);
  if (path) return read_secret_source(*path);
  if (::isatty(STDIN_FILENO) == 1)
    return std::unexpected(new_argument_error("no content provided (use --content-file PATH, or pipe to stdin)"));
  // Piped content is kept exactly, trailing line break included.
  return read_stdin_bounded();
}

std::expected<void, CliError> parse_text_entry_status(std::string_view status) {
  if (status == "draft" || status == "active" || status == "archived") return {};
  return std::unexpected(
      new_argument_error("invalid status '" + single_line_text(status) + "' (use: draft, active, archived)"));
}

std::expected<SecureString, CliError> read_existing_l2_field(std::span<const Field> fields, std::string_view label,
                                                             const L2Key& l2) {
  for (const Field& f : fields) {
    if (f.label != label || f.tier != 2) continue;
    auto plaintext = decrypt_field(l2, label, f.value);
    if (!plaintext)
      return std::unexpected(make_error(err::PL_2049, "cannot update: existing '" + std::string(label) +
                                                          "' is unreadable (" +
                                                          format_context_error(plaintext.error()) + ")"));
    return std::move(*plaintext);
  }
  return std::unexpected(
      make_error(err::PL_2050, "cannot update: existing entry has no L2 field '" + std::string(label) + "'"));
}

std::expected<void, CliError> check_content_size(std::size_t length) {
  if (length == 0) return std::unexpected(new_argument_error("content must not be empty"));
  if (length > kMaxTextEntryContent)
    return std::unexpected(make_error(err::PL_2110, "content is " + std::to_string(length) + " bytes, max is " +
                                                        std::to_string(kMaxTextEntryContent)));
  return {};
}

std::expected<void, CliError> check_entry_kind(TextEntryKind kind, const Entry& entry) {
  std::string_view type;
  if (entry.type) {
    type = *entry.type;
  } else if (entry.data && entry.data->type) {
    type = *entry.data->type;
  }
  const std::string_view word = text_entry_kind_word(kind);
  if (type.empty() || label_equals_ignore_case(type, word)) return {};
  return std::unexpected(new_argument_error("entry is type '" + single_line_text(type) + "', not '" +
                                            std::string(word) + "' \u2014 refuse cross-type " + std::string(word) +
                                            " on this entry"));
}

std::expected<void, CliError> embedding_model_required_error(bool has_embeddings, bool has_model) {
  if (has_embeddings && !has_model)
    return std::unexpected(new_argument_error("--embedding-model is required when --embeddings is set"));
  return {};
}

}  // namespace pellucor
