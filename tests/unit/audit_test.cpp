#include "cli/commands/audit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "cli/terminal.h"
#include "cli/utf8.h"

namespace pellucor {
namespace {

TEST(ParseDateToEpochMs, ReadsCalendarDaysInUtc) {
  struct Case {
    const char* text;
    std::int64_t ms;
  } cases[] = {
      {"1970-01-01", 0},
      {"2024-01-01", 1704067200000},
      {"2024-02-29", 1709164800000},  // leap year
      {"2000-02-29", 951782400000},   // divisible by 400: leap
      {"2024-1-5", 1704412800000},    // leading zeros are optional
      {"2024-01-05", 1704412800000},
      {"0001-01-01", -62135596800000},
      {"9999-12-31", 253402214400000},
      {"2024-+01-05", 1704412800000},  // a part may carry a plus sign
      {"2024-04-30", 1714435200000},
  };
  for (const Case& c : cases) {
    auto ms = parse_date_to_epoch_ms(c.text);
    ASSERT_TRUE(ms.has_value()) << c.text << ": " << format_cli_error(ms.error());
    EXPECT_EQ(*ms, c.ms) << c.text;
  }
}

TEST(ParseDateToEpochMs, RefusesWhatIsNotADay) {
  const char* bad[] = {
      "2023-02-29",  // not a leap year
      "1900-02-29",  // divisible by 100, not by 400
      "2024-04-31", "2024-01-32", "2024-13-01", "2024-00-10", "2024-01-00",
      "0000-01-01", "10000-01-01",
      "2024-01-05-x", "20240105", "2024/01/05", "2024-01", "", "--", "2024--05", "-2024-01-05",
      " 2024-01-05", "2024-01-05 ", "2024-01-5\n", "2024-0x1-05", "2024-1.0-05", "+-2024-01-05",
      "99999999999999999999-01-01",  // beyond 64 bits
      "2024-\xd9\xa1-05",            // a non-ASCII digit
  };
  for (const char* text : bad) {
    auto ms = parse_date_to_epoch_ms(text);
    ASSERT_FALSE(ms.has_value()) << text;
    // The text is shown on the error's one line: a line feed in it is a blank.
    std::string shown(text);
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    EXPECT_EQ(format_cli_error(ms.error()), "PL-2000: invalid date: " + shown + " (use YYYY-MM-DD)");
  }
}

TEST(FormatEpochMs, WritesUtcSeconds) {
  struct Case {
    std::int64_t ms;
    const char* text;
  } cases[] = {
      {0, "1970-01-01 00:00:00"},
      {999, "1970-01-01 00:00:00"},
      {1704067200000 + 86399999, "2024-01-01 23:59:59"},  // last millisecond of the day
      {1704067200000 + 86400000, "2024-01-02 00:00:00"},
      {1709208000000, "2024-02-29 12:00:00"},
      {951825600000, "2000-02-29 12:00:00"},
      {-1, "1969-12-31 23:59:59"},  // rounded down, not towards zero
      {-62135596800000, "0001-01-01 00:00:00"},
      {253402300799999, "9999-12-31 23:59:59"},
      {253402300800000, "10000-01-01 00:00:00"},
  };
  for (const Case& c : cases) EXPECT_EQ(format_epoch_ms(c.ms), c.text) << c.ms;
  // The extremes are written without overflow.
  EXPECT_EQ(format_epoch_ms(std::numeric_limits<std::int64_t>::max()), "292278994-08-17 07:12:55");
  EXPECT_FALSE(format_epoch_ms(std::numeric_limits<std::int64_t>::min()).empty());
}

// Every day the date parser accepts is written back as the same day, and
// consecutive days are one day of milliseconds apart. Years checked: a whole
// 400-year cycle at each end of the range, the years around 1970 and 2000,
// and every turn of a century.
TEST(FormatEpochMs, RoundTripsTheDaysParsed) {
  char text[32];
  std::int64_t previous = 0;
  bool first = true;
  for (int year = 1; year <= 9999; ++year) {
    const bool checked =
        year <= 401 || (year >= 1895 && year <= 2105) || year >= 9598 || year % 100 == 99 || year % 100 <= 1;
    if (!checked) {
      first = true;  // the next checked day follows a gap
      continue;
    }
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 31; ++day) {
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        auto ms = parse_date_to_epoch_ms(text);
        if (!ms) {
          // Only the ends of months are refused, and then every later day too.
          ASSERT_GE(day, 29) << text;
          break;
        }
        ASSERT_EQ(format_epoch_ms(*ms), std::string(text) + " 00:00:00");
        if (!first) {
          ASSERT_EQ(*ms - previous, 86400000) << text;
        }
        previous = *ms;
        first = false;
      }
    }
  }
}

TEST(FormatAuditTable, SaysSoWhenThereAreNoEvents) {
  const json::Value results[] = {
      json::Value::object(),
      json::Value{{"events", json::Value::array()}},
      json::Value{{"events", nullptr}},
      json::Value{{"events", json::Value::object()}},
      json::Value{{"events", "many"}},
      json::Value::array({json::Value{{"action", "read"}}}),
      nullptr,
  };
  for (const json::Value& r : results) {
    EXPECT_EQ(format_audit_table(r, false), "No audit events found.\n") << r.dump();
    EXPECT_EQ(format_audit_table(r, true), "No audit events found.\n") << r.dump();
  }
}

constexpr const char* kHeader =
    "TIME                 ACTION       ENTRY                          ACTOR\n";

TEST(FormatAuditTable, OneLinePerEventInTheVaultsOrder) {
  json::Value result = {{"events",
                         {
                             {{"created_at", 1704153599999}, {"action", "read"}, {"title", "GitHub"},
                              {"actor", "agent:9f2c"}},
                             {{"action", "totp"}, {"title", "AWS root"}, {"actor", "ci-runner"}},
                         }}};
  EXPECT_EQ(format_audit_table(result, false),
            std::string(kHeader) +
                "2024-01-01 23:59:59  read         GitHub                         agent:9f2c\n"
                "1970-01-01 00:00:00  totp         AWS root                       ci-runner\n");
}

TEST(FormatAuditTable, MissingOrOddMembersShowAsDefaults) {
  const std::string blank = "1970-01-01 00:00:00  -            -                              -\n";
  const json::Value events[] = {
      json::Value::object(),
      json::Value(5),
      json::Value("read"),
      json::Value{{"created_at", -5}, {"action", 7}, {"title", nullptr}, {"actor", json::Value::array()}},
      json::Value{{"created_at", 1704067200000.5}},
      json::Value{{"created_at", 1704067200000.0}},  // a float, even a whole one, is no integer
      json::Value{{"created_at", "1704067200000"}},
  };
  for (const json::Value& e : events) {
    EXPECT_EQ(format_audit_table(json::Value{{"events", {e}}}, false), kHeader + blank) << e.dump();
  }
  // Every non-negative integer is a time, also beyond the signed range.
  auto huge = format_audit_table(json::Value{{"events", {{{"created_at", std::numeric_limits<std::uint64_t>::max()}}}}},
                                 false);
  EXPECT_EQ(huge.substr(std::string(kHeader).size()),
            "584556019-04-03 14:25:51 -            -                              -\n");
}

// Splits a line into its characters.
std::vector<std::string> characters(const std::string& line) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < line.size();) {
    char32_t cp = 0;
    std::size_t len = decode_utf8(line, i, cp);
    EXPECT_NE(len, 0u) << "not UTF-8 at " << i;
    if (len == 0) len = 1;
    out.push_back(line.substr(i, len));
    i += len;
  }
  return out;
}

std::string join(const std::vector<std::string>& chars, std::size_t from, std::size_t count) {
  std::string out;
  for (std::size_t i = from; i < from + count && i < chars.size(); ++i) out += chars[i];
  return out;
}

// Texts longer than their column are cut; the columns after them still start
// at the same character, whatever the width of the characters in bytes or on
// screen.
TEST(FormatAuditTable, CutsLongTextsAndKeepsColumnsAligned) {
  struct Case {
    std::string action, title, actor;
    std::string shown_action, shown_title, shown_actor;
  };
  const std::string e_acute = "\xc3\xa9";   // é, 2 bytes
  const std::string kanji = "\xe6\xbc\xa2";  // 漢, 3 bytes, two columns wide on screen
  const std::string emoji = "\xf0\x9f\x94\x91";  // 🔑, 4 bytes
  auto times = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  const Case cases[] = {
      {"credential.rd", std::string(35, 't'), std::string(45, 'a'), "credential.r", std::string(30, 't'),
       std::string(40, 'a')},
      {times(e_acute, 15), times(kanji, 31), times(emoji, 41), times(e_acute, 12), times(kanji, 30),
       times(emoji, 40)},
      {"r", kanji, emoji, "r", kanji, emoji},
      // Controls, bidirectional overrides and line breaks go, and are not counted.
      {"re\tad\r\n", "Git\x1b[31mHub\xe2\x80\xae", "ci\x07-runner", "read", "Git[31mHub", "ci-runner"},
  };
  for (const Case& c : cases) {
    json::Value result = {
        {"events", {{{"created_at", 0}, {"action", c.action}, {"title", c.title}, {"actor", c.actor}}}}};
    const std::string table = format_audit_table(result, false);
    const std::string row = table.substr(table.find('\n') + 1);
    ASSERT_FALSE(row.empty());
    ASSERT_EQ(row.back(), '\n');
    const std::vector<std::string> chars = characters(row.substr(0, row.size() - 1));
    const std::vector<std::string> header = characters(std::string(kHeader).substr(0, std::string(kHeader).size() - 1));
    // The action, entry and actor columns begin at characters 21, 34 and 65,
    // in the header and in the row.
    EXPECT_EQ(join(header, 21, 6), "ACTION");
    EXPECT_EQ(join(header, 34, 5), "ENTRY");
    EXPECT_EQ(join(header, 65, 5), "ACTOR");
    EXPECT_EQ(join(chars, 0, 21), "1970-01-01 00:00:00  ");
    EXPECT_EQ(join(chars, 21, 13), c.shown_action + std::string(13 - characters(c.shown_action).size(), ' '))
        << c.action;
    EXPECT_EQ(join(chars, 34, 31), c.shown_title + std::string(31 - characters(c.shown_title).size(), ' '))
        << c.title;
    EXPECT_EQ(join(chars, 65, chars.size()), c.shown_actor) << c.actor;
  }
}

TEST(FormatAuditTable, ColourWrapsHeaderTimeAndActor) {
  json::Value result = {
      {"events", {{{"created_at", 1704067200000}, {"action", "read"}, {"title", "GitHub"}, {"actor", "agent"}}}}};
  const std::string grey(style::grey), bold(style::bold), dim(style::dim), reset(style::reset);
  EXPECT_EQ(format_audit_table(result, true),
            grey + bold + "TIME                 ACTION       ENTRY                          ACTOR" + reset + "\n" +
                dim + "2024-01-01 00:00:00 " + reset + " read         GitHub                         " + grey +
                "agent" + reset + "\n");
}

}  // namespace
}  // namespace pellucor
