#include "gate/match_shaping.h"

#include <type_traits>
#include <utility>
#include <variant>

#include "gate/vault_text.h"

namespace pellucor {

namespace {

MatchSet summarize_entry_list(std::vector<Entry>& entries) {
  if (entries.empty()) return MatchSet::none();
  if (entries.size() == 1) return MatchSet::one(std::move(entries.front().entry_id));
  std::vector<std::string> titles;
  for (Entry& e : entries) {
    if (e.title) titles.push_back(std::move(*e.title));
  }
  return MatchSet::many(std::move(titles), entries.size());
}

MatchSet summarize_count(SearchResponse::Count& reply) {
  if (reply.count == 0) return MatchSet::none();
  if (reply.matches.empty()) return MatchSet::many(std::move(reply.titles), reply.count);
  std::vector<std::string> texts;
  texts.reserve(reply.matches.size());
  for (const MatchInfo& m : reply.matches) texts.push_back(format_title_with_type(m.title, m.type));
  return MatchSet::many(std::move(texts), reply.count);
}

}  // namespace

MatchSet summarize_matches(SearchResponse&& response) {
  return std::visit(
      [](auto& shape) -> MatchSet {
        using T = std::decay_t<decltype(shape)>;
        if constexpr (std::is_same_v<T, SearchResponse::Count>) {
          return summarize_count(shape);
        } else {
          return summarize_entry_list(shape.entries);
        }
      },
      response.shape);
}

std::string format_title_with_type(std::string_view title, std::string_view type) {
  std::string out(title);
  if (!type.empty()) {
    out += " (";
    out += type;
    out += ')';
  }
  return out;
}

CliError ambiguous_match_error(std::string_view query, std::uint64_t count,
                               const std::vector<std::string>& texts) {
  std::string message = std::to_string(count) + " matches for '" + single_line_text(query) + "'; ";
  if (texts.empty()) {
    message += "narrow your query (a longer name, or --type <entry type>)";
  } else {
    message += "fetch one by its exact title:";
    for (const std::string& t : texts) {
      message += "\n  ";
      message += strip_control_chars(t);
    }
  }
  return make_error(err::PL_2045, std::move(message));
}

std::optional<Quota> search_response_quota(const SearchResponse& response) {
  if (const Quota* q = response.quota()) return *q;
  return std::nullopt;
}

std::optional<std::string> format_read_quota(const Quota& quota) {
  std::string pieces;
  auto add = [&pieces](std::uint32_t used, std::uint32_t limit, std::string_view label) {
    if (limit == 0) return;
    if (!pieces.empty()) pieces += ", ";
    pieces += std::to_string(used) + "/" + std::to_string(limit) + " " + std::string(label);
  };
  add(quota.minute_used, quota.minute_limit, "this minute");
  add(quota.hour_used, quota.hour_limit, "this hour");
  if (pieces.empty()) return std::nullopt;
  std::string line = "read quota: " + pieces;
  if (quota.hour_limit != 0)
    line += " \u2014 every search and read counts; reaching the hourly limit twice locks this agent";
  return line;
}

std::optional<std::string> format_read_quota_opt(const std::optional<Quota>& quota) {
  if (!quota) return std::nullopt;
  return format_read_quota(*quota);
}

CliError append_error_line(CliError error, const std::optional<std::string>& line) {
  if (!line) return error;
  if (error.message.empty()) error.message = std::string(error.error.user_msg);
  error.message += "\n  ";
  error.message += *line;
  return error;
}

}  // namespace pellucor
