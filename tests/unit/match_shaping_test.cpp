#include "gate/match_shaping.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pellucor {
namespace {

SearchResponse search(std::string_view text) {
  auto v = json::parse(text);
  EXPECT_TRUE(v) << text;
  auto r = decode_search_response(*v);
  EXPECT_TRUE(r) << text << ": " << r.error();
  return std::move(*r);
}

std::string describe(const MatchSet& m) {
  switch (m.kind) {
    case MatchSet::Kind::One:
      return "One " + m.entry_id;
    case MatchSet::Kind::None:
      return "None";
    case MatchSet::Kind::Many: {
      std::string out = "Many " + std::to_string(m.count) + " [";
      for (std::size_t i = 0; i < m.texts.size(); ++i) out += (i ? "|" : "") + m.texts[i];
      return out + "]";
    }
  }
  return "?";
}

TEST(SummarizeMatches, ReducesEveryShape) {
  struct Case {
    const char* reply;
    const char* expected;
  } cases[] = {
      {R"([])", "None"},
      {R"([{"entry_id":"a1"}])", "One a1"},  // an untitled single entry is still the match
      {R"([{"entry_id":"a1","title":"A"}])", "One a1"},
      {R"([{"entry_id":"a","title":"A"},{"entry_id":"b"},{"entry_id":"c","title":"C"}])", "Many 3 [A|C]"},
      {R"([{"entry_id":"a"},{"entry_id":"b"},{"entry_id":"c"}])", "Many 3 []"},
      {R"({"entries":[]})", "None"},
      {R"({"entries":[{"entry_id":"w1","title":"W"}],"quota":{"minute_limit":5}})", "One w1"},
      {R"({"count":0,"titles":["ghost"],"matches":[{"title":"x"}]})", "None"},
      {R"({"count":1,"titles":["Only"]})", "Many 1 [Only]"},  // a count reply carries no id
      {R"({"count":2,"matches":[{"title":"AWS","type":"credential"},{"title":"AWS key"}]})",
       "Many 2 [AWS (credential)|AWS key]"},
      {R"({"count":5,"titles":["a","b"]})", "Many 5 [a|b]"},
      {R"({"count":4})", "Many 4 []"},
      {R"({"count":2,"titles":["t"],"matches":[{"title":"m","type":""}],"message":"x"})", "Many 2 [m]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(describe(summarize_matches(search(c.reply))), c.expected) << c.reply;
  }
}

TEST(AmbiguousMatchError, ListsCandidatesWithoutControlCharacters) {
  CliError e = ambiguous_match_error("aws", 3, {"AWS\nprod", "AWS \x1b[31mred\x7f", "w\xc2\x85x", "rtl\u202Eyes"});
  EXPECT_EQ(e.error.code, "PL-2045");
  EXPECT_EQ(e.message,
            "3 matches for 'aws'; fetch one by its exact title:\n  AWSprod\n  AWS [31mred\n  wx\n  rtlyes");
}

TEST(AmbiguousMatchError, AsksForANarrowerQueryWithoutCandidates) {
  CliError e = ambiguous_match_error("db", 7, {});
  EXPECT_EQ(format_cli_error(e),
            "PL-2045: 7 matches for 'db'; narrow your query (a longer name, or --type <entry type>)");
}

TEST(ReadQuota, ShowsOnlyWindowsWithALimit) {
  const std::string warning =
      " \u2014 every search and read counts; reaching the hourly limit twice locks this agent";
  EXPECT_EQ(warning.size(), 83u);
  struct Case {
    Quota q;
    std::optional<std::string> line;
  } cases[] = {
      {{0, 0, 0, 0}, std::nullopt},
      {{9, 0, 9, 0}, std::nullopt},
      {{3, 10, 40, 200}, "read quota: 3/10 this minute, 40/200 this hour" + warning},
      {{3, 10, 0, 0}, "read quota: 3/10 this minute"},
      {{0, 0, 2, 5}, "read quota: 2/5 this hour" + warning},
      {{12, 10, 0, 0}, "read quota: 12/10 this minute"},
      {{4294967295u, 4294967295u, 0, 0}, "read quota: 4294967295/4294967295 this minute"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_read_quota(c.q), c.line);
  EXPECT_EQ(format_read_quota_opt(std::nullopt), std::nullopt);
}

TEST(ReadQuota, ComesOnlyFromWrappedAndCountReplies) {
  EXPECT_FALSE(search_response_quota(search(R"([])")));
  EXPECT_FALSE(search_response_quota(search(R"({"entries":[]})")));
  auto q = search_response_quota(search(R"({"count":0,"quota":{"hour_used":1,"hour_limit":2}})"));
  ASSERT_TRUE(q);
  EXPECT_EQ(q->hour_used, 1u);
  EXPECT_EQ(q->hour_limit, 2u);
}

TEST(AppendErrorLine, AddsAnIndentedLine) {
  CliError e = append_error_line(make_error(err::PL_2046, "no entry matched 'x'"), "read quota: 1/2 this minute");
  EXPECT_EQ(e.message, "no entry matched 'x'\n  read quota: 1/2 this minute");
  EXPECT_EQ(e.error.code, "PL-2046");

  CliError bare = append_error_line(make_error(err::PL_2046), "q");
  EXPECT_EQ(bare.message, std::string(err::PL_2046.user_msg) + "\n  q");

  CliError unchanged = append_error_line(make_error(err::PL_2046), std::nullopt);
  EXPECT_EQ(unchanged.message, "");
}

TEST(FormatTitleWithType, LeavesOutAnEmptyType) {
  EXPECT_EQ(format_title_with_type("GitHub", "credential"), "GitHub (credential)");
  EXPECT_EQ(format_title_with_type("GitHub", ""), "GitHub");
  EXPECT_EQ(format_title_with_type("", "note"), " (note)");
}

}  // namespace
}  // namespace pellucor
