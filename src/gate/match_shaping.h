// Search results reduced to what the commands need: one entry to fetch,
// nothing, or candidate texts with a count to show; the failure for several
// matches; and the read-quota line that tells an agent how much of its search
// and read allowance it has used.
//
// None of these fail: `ambiguous_match_error` builds the failure its caller
// returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/errors.h"
#include "gate/wire_models.h"

namespace pellucor {

// A search reply reduced for selection and display.
struct MatchSet {
  enum class Kind { One, None, Many };
  Kind kind = Kind::None;
  std::string entry_id;            // One: the id of the only entry
  std::vector<std::string> texts;  // Many: titles, or title-and-type lines
  std::uint64_t count = 0;         // Many: entries found (not always texts.size())

  static MatchSet one(std::string id) { return {Kind::One, std::move(id), {}, 0}; }
  static MatchSet none() { return {}; }
  static MatchSet many(std::vector<std::string> texts, std::uint64_t count) {
    return {Kind::Many, {}, std::move(texts), count};
  }
};

// summarize_matches: an entry list of one entry is One (titled or not); of
// none, None; of more, Many with the titles present, in reply order, and the
// number of entries. A count reply of 0 is None whatever else it holds;
// otherwise Many with one title-and-type text per match, or the titles as
// given when there are no matches, and the reply's count. A count reply is
// never One: it carries no entry id.
MatchSet summarize_matches(SearchResponse&& response);

// format_title_with_type: "title (type)", or the title alone for an empty type.
std::string format_title_with_type(std::string_view title, std::string_view type);

// ambiguous_match_error: PL-2045 listing `texts` (each stripped of C0
// controls, DEL and C1 controls so a title cannot break the error line), or
// asking for a narrower query when there are none.
CliError ambiguous_match_error(std::string_view query, std::uint64_t count,
                               const std::vector<std::string>& texts);

// search_response_quota: the quota a wrapped or count reply carries; nothing
// for a bare list.
std::optional<Quota> search_response_quota(const SearchResponse& response);

// format_read_quota: "read quota: U/L this minute, U/L this hour" with only
// the windows whose limit is set, followed by a warning when the hourly one is;
// nothing when neither is.
std::optional<std::string> format_read_quota(const Quota& quota);
std::optional<std::string> format_read_quota_opt(const std::optional<Quota>& quota);

// append_error_line adds "\n  " and `line` to the error's message (first
// spelling out the record's sentence when the message is empty); without a
// line the error is returned unchanged.
CliError append_error_line(CliError error, const std::optional<std::string>& line);

}  // namespace pellucor
