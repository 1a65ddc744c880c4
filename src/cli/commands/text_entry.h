// The note and memory commands: rich text entries whose summary and content
// are stored as tier-2 fields, encrypted here under the agent's L2 key before
// they leave, with a plain lifecycle status and optional embeddings the vault
// searches by similarity.
//
// Both commands are one routine over a TextEntryKind. Its word ("note",
// "memory") is the type of every entry written, the type filter of every
// title search, the category of a similarity search and the kind named in
// messages. Stored layout, in field order:
//   summary          tier 2, kind "text"   (also the entry's plain title)
//   content          tier 2, kind "text"   1..262144 bytes
//   status           tier 1, kind "text"   draft | active | archived
//   embeddings       tier 1, kind "binary" only when given
//   embedding_model  tier 1, kind "text"   only when given
//
// Secret values never come from the command line: --summary, --content,
// --embeddings and --vector are refused on sight.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "cli/arg_parser.h"
#include "crypto/errors.h"
#include "crypto/field_keys.h"
#include "crypto/secure_buffer.h"
#include "gate/entry_ops.h"
#include "gate/wire_models.h"

namespace pellucor {

enum class TextEntryKind { Note, Memory };

// text_entry_kind_word: "note" or "memory".
std::string_view text_entry_kind_word(TextEntryKind kind);

// run_note / run_memory run `pellucor-cli note|memory <subcommand> ...`.
std::expected<void, CliError> run_note(ArgParser& args);
std::expected<void, CliError> run_memory(ArgParser& args);

// run_text_entry_command takes the subcommand word (create, get, update,
// delete, search; matched byte for byte) and runs it. Any other word is
// PL-2000 "unknown <kind> subcommand '<word>' (try: ...)".
std::expected<void, CliError> run_text_entry_command(TextEntryKind kind, ArgParser& args);

// The subcommands, each reading its own options from `args`.
std::expected<void, CliError> run_text_entry_create(TextEntryKind kind, ArgParser& args);
std::expected<void, CliError> run_text_entry_update(TextEntryKind kind, ArgParser& args);
std::expected<void, CliError> run_text_entry_get(TextEntryKind kind, ArgParser& args);
std::expected<void, CliError> run_text_entry_delete(TextEntryKind kind, ArgParser& args);
std::expected<void, CliError> run_text_entry_search(TextEntryKind kind, ArgParser& args);

// The most content bytes a text entry holds.
inline constexpr std::size_t kMaxTextEntryContent = 262144;

// build_text_entry_body encrypts the summary and content under `l2` (a fresh
// nonce each) and lays out the upsert body: title and type on the outside and
// in the data block, the fields in stored order, no "urls", no "id".
// PL-2081 "encrypting summary: <core error>" / "encrypting content: ...".
std::expected<EntryUpsertBody, CliError> build_text_entry_body(TextEntryKind kind, std::string_view summary,
                                                               std::string_view content, std::string_view status,
                                                               std::optional<std::string_view> embeddings,
                                                               std::optional<std::string_view> embedding_model,
                                                               const L2Key& l2);

// secret_on_argv_error: PL-2000 "<option> is a secret field and must not
// appear on the command line; use <alternative>".
CliError secret_on_argv_error(std::string_view option, std::string_view alternative);

// read_text_entry_content returns `given` when there is one; else the file at
// `path` through read_secret_source (trailing CR/LF cut, "-" is stdin, read
// with echo off at a terminal); else standard input read whole and kept
// exactly, unless standard input is a terminal: PL-2000 "no content provided
// (use --content-file PATH, or pipe to stdin)".
std::expected<SecureString, CliError> read_text_entry_content(std::optional<SecureString> given,
                                                              const std::optional<std::string>& path);

// parse_text_entry_status accepts exactly "draft", "active", "archived";
// PL-2000 "invalid status '<text>' (use: draft, active, archived)" otherwise.
std::expected<void, CliError> parse_text_entry_status(std::string_view status);

// read_existing_l2_field decrypts the first field whose label is exactly
// `label` and whose tier is 2. PL-2050 "cannot update: existing entry has no
// L2 field '<label>'"; PL-2049 "cannot update: existing '<label>' is
// unreadable (<core error>)".
std::expected<SecureString, CliError> read_existing_l2_field(std::span<const Field> fields, std::string_view label,
                                                             const L2Key& l2);

// check_content_size: PL-2000 "content must not be empty" for 0; PL-2110
// "content is <n> bytes, max is 262144" above the cap.
std::expected<void, CliError> check_content_size(std::size_t length);

// check_entry_kind passes an entry whose type (outer, else the data block's)
// is missing, empty or the kind word in any ASCII case; PL-2000 "entry is type
// '<type>', not '<kind>' — refuse cross-type <kind> on this entry" otherwise.
std::expected<void, CliError> check_entry_kind(TextEntryKind kind, const Entry& entry);

// embedding_model_required_error: PL-2000 "--embedding-model is required when
// --embeddings is set" for embeddings without a model.
std::expected<void, CliError> embedding_model_required_error(bool has_embeddings, bool has_model);

}  // namespace pellucor
