// note/memory get, delete and search.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/commands/get.h"
#include "cli/commands/text_entry.h"
#include "cli/commands/text_entry_common.h"
#include "cli/input.h"
#include "cli/stdin_readers.h"
#include "cli/terminal.h"
#include "crypto/encoding.h"
#include "gate/context.h"
#include "gate/json.h"
#include "gate/transport.h"
#include "gate/vault_text.h"

namespace pellucor {

namespace {

constexpr std::string_view kSimilarAction = "search.similar";
constexpr std::uint32_t kDefaultLimit = 10;
constexpr std::uint32_t kMaxLimit = 50;

CliError missing_query_error(TextEntryKind kind, std::string_view subcommand) {
  return new_argument_error("missing <query> (try: pellucor-cli " + std::string(text_entry_kind_word(kind)) + " " +
                            std::string(subcommand) + " \"title\")");
}

// ---- get ----

struct GetOptions {
  TextEntryQuery query;
  bool full = false;
  bool json = false;
};

std::expected<GetOptions, CliError> parse_get_options(TextEntryKind kind, ArgParser& args) {
  GetOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    auto query = read_query_token(token, o.query);
    if (!query) return std::unexpected(std::move(query.error()));
    if (*query) continue;
    if (token.is_long("full")) {
      o.full = true;
    } else if (token.is_long("json")) {
      o.json = true;
    } else {
      return std::unexpected(unexpected_argument(token));
    }
  }
  if (!o.query.text) return std::unexpected(missing_query_error(kind, "get"));
  return o;
}

// A stored summary or content that does not open is shown as a placeholder:
// the rest of the entry is still worth seeing.
// The summary and the status are header lines: kept to one line each, where
// only the content below them may span several.
void print_summary_line(const Field& summary, const L2Key& l2) {
  if (summary.tier != 2) {
    print_field("Summary", sanitize_one_line(summary.value));
  } else if (summary.value.empty()) {
    print_field("Summary", "");
  } else if (auto plaintext = decrypt_field(l2, "summary", summary.value)) {
    print_field("Summary", sanitize_one_line(plaintext->view()));
  } else {
    print_field_greyed("Summary", "[decrypt failed]");
  }
}

void print_content(const Field& content, const L2Key& l2) {
  std::optional<SecureString> plaintext;
  if (content.tier == 2 && !content.value.empty()) {
    auto opened = decrypt_field(l2, "content", content.value);
    if (!opened) {
      write_stdout("\n[content: decrypt failed]\n");
      return;
    }
    plaintext = std::move(*opened);
  }
  SecureString out("\n");
  out.append(sanitize_for_terminal(plaintext ? plaintext->view() : std::string_view(content.value)).view());
  out += '\n';
  write_stdout(out.view());
}

// ---- delete ----

std::expected<TextEntryQuery, CliError> parse_delete_options(TextEntryKind kind, ArgParser& args) {
  TextEntryQuery query;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    auto taken = read_query_token(**next, query);
    if (!taken) return std::unexpected(std::move(taken.error()));
    if (!*taken) return std::unexpected(unexpected_argument(**next));
  }
  if (!query.text) return std::unexpected(missing_query_error(kind, "delete"));
  return query;
}

// ---- search ----

struct SearchOptions {
  std::optional<SecureString> vector;
  std::uint32_t limit = kDefaultLimit;
};

std::expected<SearchOptions, CliError> parse_search_options(ArgParser& args) {
  SearchOptions o;
  // The vector file is read once the whole command line has been checked.
  std::optional<std::string> vector_path;
  StandardInputReaders stdin_readers;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("vector"))
      return std::unexpected(secret_on_argv_error("--vector", "--vector-file PATH or stdin via --vector-file -"));
    if (token.is_long("vector-file")) {
      auto path = option_value_string(args, "--vector-file");
      if (!path) return std::unexpected(std::move(path.error()));
      if (auto once = stdin_readers.claim_file("--vector-file", *path); !once)
        return std::unexpected(std::move(once.error()));
      vector_path = std::move(*path);
    } else if (token.is_long("limit")) {
      auto text = option_value_string(args, "--limit");
      if (!text) return std::unexpected(std::move(text.error()));
      auto limit = parse_decimal<std::uint32_t>(*text);
      if (!limit) return std::unexpected(new_argument_error("--limit: not a number: " + single_line_text(*text)));
      o.limit = *limit;
    } else {
      return std::unexpected(unexpected_argument(token));
    }
  }
  if (!vector_path)
    return std::unexpected(new_argument_error("--vector-file is required (base64-encoded embedding; not on argv)"));
  if (o.limit < 1 || o.limit > kMaxLimit)
    return std::unexpected(new_argument_error("--limit must be between 1 and 50"));
  auto vector = read_text_source(*vector_path);
  if (!vector) return std::unexpected(std::move(vector.error()));
  o.vector = std::move(*vector);
  return o;
}

std::string hit_text(const json::Value& hit, std::string_view key) {
  if (!hit.is_object()) return "?";
  auto it = hit.find(key);
  return it != hit.end() && it->is_string() ? it->get<std::string>() : std::string("?");
}

double hit_distance(const json::Value& hit) {
  if (!hit.is_object()) return 0;
  auto it = hit.find("distance");
  return it != hit.end() && it->is_number() ? it->get<double>() : 0;
}

std::string four_decimals(double value) {
  // The widest finite double takes 309 digits before the point.
  char text[328];
  const int n = std::snprintf(text, sizeof text, "%.4f", value);
  return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string("0.0000");
}

// One cell of a search row: vault text kept to its line like any other, and
// its tabs, which would split the cell into columns of the vault's choosing,
// made blanks. Wiped when freed: the display text is a decrypted summary.
SecureString row_cell(std::string_view text) {
  SecureString cell(sanitize_one_line(text).view());
  for (std::size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] == '\t') cell[i] = ' ';
  }
  return cell;
}

// What a hit shows in its last column: the decrypted summary, else the
// entry's title, else its id. A hit whose entry cannot be fetched still gets
// its line. Held in a wiping buffer: the summary is a decrypted secret.
SecureString hit_display(const GateContext& ctx, const std::string& entry_id) {
  auto entry = get_entry(ctx, entry_id);
  if (!entry) return SecureString(entry_id);
  if (entry->data) {
    if (auto summary = read_existing_l2_field(entry->data->fields, "summary", ctx.keys.l2))
      return SecureString(summary->view());
  }
  return SecureString(entry->title ? *entry->title : entry_id);
}

}  // namespace

std::expected<void, CliError> run_text_entry_get(TextEntryKind kind, ArgParser& args) {
  auto options = parse_get_options(kind, args);
  if (!options) return std::unexpected(std::move(options.error()));

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  auto entry_id = find_single_entry(*ctx, *options->query.text, options->query.exact, text_entry_kind_word(kind));
  if (!entry_id) return std::unexpected(std::move(entry_id.error()));

  // The entry as the vault holds it, of whatever kind.
  if (options->json) return print_entry_json(*ctx, *entry_id);

  auto entry = fetch_text_entry(*ctx, kind, *entry_id);
  if (!entry) return std::unexpected(std::move(entry.error()));
  if (!entry->data) return std::unexpected(make_error(err::PL_2021, "entry response had no data block"));
  const std::vector<Field>& fields = entry->data->fields;

  if (const Field* summary = first_field_labelled(fields, "summary")) print_summary_line(*summary, ctx->keys.l2);
  if (const Field* status = first_field_labelled(fields, "status")) print_field("Status", sanitize_one_line(status->value));
  if (options->full) {
    if (const Field* content = first_field_labelled(fields, "content")) print_content(*content, ctx->keys.l2);
  }
  return {};
}

std::expected<void, CliError> run_text_entry_delete(TextEntryKind kind, ArgParser& args) {
  auto query = parse_delete_options(kind, args);
  if (!query) return std::unexpected(std::move(query.error()));

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  auto entry_id = find_single_entry(*ctx, *query->text, query->exact, text_entry_kind_word(kind));
  if (!entry_id) return std::unexpected(std::move(entry_id.error()));
  // An entry of another kind is left alone.
  auto entry = fetch_text_entry(*ctx, kind, *entry_id);
  if (!entry) return std::unexpected(std::move(entry.error()));
  auto deleted = delete_entry(*ctx, *entry_id, *query->text);
  if (!deleted) return std::unexpected(std::move(deleted.error()));

  print_ok("Deleted.");
  return {};
}

std::expected<void, CliError> run_text_entry_search(TextEntryKind kind, ArgParser& args) {
  auto options = parse_search_options(args);
  if (!options) return std::unexpected(std::move(options.error()));

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));
  json::Value request = json::Value::object();
  // The vector is written straight into the request (no temporary copy) and
  // wiped there after the call: like the other embeddings, it is a secret.
  request["vector"] = std::string();
  request["vector"].get_ref<std::string&>().assign(options->vector->view());
  request["limit"] = options->limit;
  request["category"] = std::string(text_entry_kind_word(kind));
  auto hits = gate_call_with_failover(*ctx, kSimilarAction, request);
  json::wipe_strings(request);
  if (!hits) return std::unexpected(std::move(hits.error()));

  if (!hits->is_array() || hits->empty()) {
    write_stdout("No similar " + std::string(text_entry_kind_word(kind)) + "s found.\n");
    return {};
  }
  // A vault may answer more hits than were asked for: only the first `limit`
  // are shown, which keeps the calls at most limit + 1 (51) whatever it sends.
  std::uint32_t shown = 0;
  for (const json::Value& hit : *hits) {
    if (shown++ == options->limit) break;
    const std::string entry_id = hit_text(hit, "entry_id");
    const double distance = hit_distance(hit);
    const std::string model = hit_text(hit, "embedding_model");
    const SecureString display = hit_display(*ctx, entry_id);
    // Every column comes from the vault, so all of them are filtered before
    // they reach the terminal, and none may break the row.
    SecureString line(row_cell(entry_id).view());
    line.append("\t").append(four_decimals(distance));
    line.append("\t[").append(row_cell(model).view()).append("]\t");
    line.append(row_cell(display.view()).view());
    line += '\n';
    write_stdout(line.view());
  }
  return {};
}

}  // namespace pellucor
