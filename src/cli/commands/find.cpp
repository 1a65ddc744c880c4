#include "cli/commands/find.h"

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cli/input.h"
#include "cli/schema.h"
#include "cli/terminal.h"
#include "cli/utf8.h"
#include "gate/context.h"
#include "gate/entry_ops.h"
#include "gate/match_shaping.h"
#include "gate/vault_text.h"

namespace pellucor {

const std::string_view kFindUsage =
    "Usage: pellucor-cli find <name> [--type <entry type>]\n"
    "  Lists the exact titles of entries whose name contains <name> (\u22654 chars).\n"
    "  Prints titles and types only \u2014 never a value. Fetch one with get \"<title>\".\n";

const std::string_view kDeleteUsage =
    "Usage: pellucor-cli delete <query> [--fuzzy]\n"
    "\n"
    "Delete an entry by exact title (case-insensitive).\n"
    "Must match exactly one entry.\n"
    "\n"
    "Options:\n"
    "--fuzzy    Substring title match (default is exact)\n";

namespace {

// The longest line find prints, in characters.
constexpr std::size_t kFindLineChars = 200;

CliError unexpected_token(const ArgToken& token) {
  return new_argument_error("unexpected: " + arg_token_debug(token));
}

struct FindOptions {
  std::optional<std::string> name;
  std::optional<std::string> type;
  bool help = false;
};

std::expected<FindOptions, CliError> parse_find_options(ArgParser& args) {
  FindOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      o.help = true;
      return o;
    }
    if (token.is_long("type")) {
      auto v = option_value_string(args, "--type");
      if (!v) return std::unexpected(std::move(v.error()));
      o.type = std::string(resolve_type_alias(*v));
    } else if (token.is_value() && !o.name) {
      if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("name: not valid UTF-8"));
      o.name = token.text;
    } else {
      return std::unexpected(unexpected_token(token));
    }
  }
  if (!o.name) return std::unexpected(new_argument_error("missing <name> (try: pellucor-cli find openrouter)"));
  return o;
}

struct DeleteOptions {
  std::optional<std::string> query;
  bool exact = true;
  bool help = false;
};

std::expected<DeleteOptions, CliError> parse_delete_options(ArgParser& args) {
  DeleteOptions o;
  for (;;) {
    auto next = args.next_arg();
    if (!next) return std::unexpected(error_from_arg_error(next.error()));
    if (!next->has_value()) break;
    const ArgToken& token = **next;
    if (token.is_long("help")) {
      o.help = true;
      return o;
    }
    if (token.is_long("exact")) {
      o.exact = true;
    } else if (token.is_long("fuzzy")) {
      o.exact = false;
    } else if (token.is_value() && !o.query) {
      if (!is_valid_utf8(token.text)) return std::unexpected(new_argument_error("query: not valid UTF-8"));
      o.query = token.text;
    } else {
      return std::unexpected(unexpected_token(token));
    }
  }
  if (!o.query) return std::unexpected(new_argument_error("missing <query>"));
  return o;
}

// The result lines of a search reply: one per entry of an entry list; the
// match texts of a count reply. A count without texts cannot be listed.
std::expected<std::vector<std::string>, CliError> result_lines(std::string_view name, SearchResponse&& response,
                                                               const std::optional<std::string>& quota_line) {
  std::vector<std::string> lines;
  if (auto* count = std::get_if<SearchResponse::Count>(&response.shape)) {
    (void)count;
    MatchSet matches = summarize_matches(std::move(response));
    if (matches.kind == MatchSet::Kind::Many) {
      if (matches.texts.empty())
        return std::unexpected(append_error_line(ambiguous_match_error(name, matches.count, {}), quota_line));
      lines = std::move(matches.texts);
    }
    return lines;
  }
  const std::vector<Entry>& entries = std::holds_alternative<SearchResponse::Bare>(response.shape)
                                          ? std::get<SearchResponse::Bare>(response.shape).entries
                                          : std::get<SearchResponse::Wrapped>(response.shape).entries;
  for (const Entry& e : entries) lines.push_back(format_title_with_type(e.title.value_or(""), e.type.value_or("")));
  return lines;
}

}  // namespace

std::expected<void, CliError> run_find(ArgParser& args) {
  auto options = parse_find_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  if (options->help) {
    write_stdout(kFindUsage);
    return {};
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  const std::optional<std::string_view> type =
      options->type ? std::optional<std::string_view>(*options->type) : std::nullopt;
  auto response = search_entries_fuzzy(*ctx, *options->name, type);
  if (!response) return std::unexpected(std::move(response.error()));

  const std::optional<std::string> quota_line = format_read_quota_opt(search_response_quota(*response));
  auto lines = result_lines(*options->name, std::move(*response), quota_line);
  if (!lines) return std::unexpected(std::move(lines.error()));
  if (lines->empty())
    return std::unexpected(
        append_error_line(make_error(err::PL_2046, "no entry matched '" + single_line_text(*options->name) + "'"),
                          quota_line));

  std::string out;
  for (const std::string& line : *lines) {
    out += sanitize_inline(line, kFindLineChars);
    out += '\n';
  }
  write_stdout(out);
  if (quota_line) write_stderr(*quota_line + "\n");
  return {};
}

std::expected<void, CliError> run_delete(ArgParser& args) {
  auto options = parse_delete_options(args);
  if (!options) return std::unexpected(std::move(options.error()));
  if (options->help) {
    write_stdout(kDeleteUsage);
    return {};
  }

  auto ctx = open_gate_context();
  if (!ctx) return std::unexpected(std::move(ctx.error()));

  auto entry_id = find_single_entry(*ctx, *options->query, options->exact, std::nullopt);
  if (!entry_id) return std::unexpected(std::move(entry_id.error()));
  auto deleted = delete_entry(*ctx, *entry_id, *options->query);
  if (!deleted) return std::unexpected(std::move(deleted.error()));

  // The query as typed, not the vault's title.
  print_ok("Deleted: " + *options->query);
  return {};
}

}  // namespace pellucor
