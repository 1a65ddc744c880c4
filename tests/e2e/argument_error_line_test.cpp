// Text from the command line inside an error message: an agent hands on
// queries, option names, values and paths it did not write, and none of them
// may add a line of its own (a forged "PL-…" line) to the one error line.
// Messages built with several lines keep them; only the argument in them is
// made one line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
using testing::VaultReply;

// A line feed, then what a forged error line would say.
const std::string kForged = "\nPL-0000: forged";
// The same text once it is kept to its line.
const std::string kFlat = " PL-0000: forged";

class ArgumentErrorLine : public testing::EnrolledCli {};

TEST_F(ArgumentErrorLine, ArgumentsHoldingLineFeedsStayOnTheErrorLine) {
  vault_->add_entry(testing::github_entry());
  const std::string missing = (home_ / "missing").string();
  const std::string vec = file("vec", "AAAAAA==");
  const std::string sum = file("sum", "S");

  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string err;        // the whole of stderr, or its start when `prefix`
    bool prefix = false;
    std::string stdin_data = {};
  };
  const Case cases[] = {
      {"find name", {"find", "gi" + kForged}, "PL-2046: no entry matched 'gi" + kFlat + "'\n"},
      {"get --field", {"get", "GitHub", "--field", "pw" + kForged},
       "PL-2050: entry has no field named 'pw" + kFlat + "'\n"},
      {"get query", {"get", "q" + kForged}, "PL-2046: no entry matched 'q" + kFlat + "'\n"},
      {"totp query", {"totp", "q" + kForged}, "PL-2046: no entry matched 'q" + kFlat + "'\n"},
      {"put type", {"put", "cred" + kForged, "T"}, "PL-2080: unknown type 'cred" + kFlat + "' (available: ", true},
      {"put option name", {"put", "credential", "T", "--a" + kForged},
       "PL-2000: --a" + kFlat + " is not valid for type 'credential'. Use: ", true},
      {"put file option name", {"put", "credential", "T", "--a" + kForged + "-file", "x"},
       "PL-2000: --a" + kFlat + "-file is not valid for type 'credential'. Secret fields use --<field>-file (e.g. "
       "--password-file)\n"},
      {"put file path", {"put", "credential", "T", "--password-file", missing + kForged},
       "PL-2111: opening " + missing + kFlat + ": No such file or directory (os error 2)\n"},
      {"put --json key", {"put", "--json"}, "PL-2000: unknown key 'a" + kFlat + "' for type 'credential' ", true,
       json{{"type", "credential"}, {"title", "T"}, {"a" + kForged, "v"}}.dump()},
      {"skill subcommand", {"skill", "p" + kForged},
       "PL-2000: unknown skill subcommand 'p" + kFlat + "' (use: print, install)\n"},
      {"audit --since", {"audit", "--since", "x" + kForged}, "PL-2000: invalid date: x" + kFlat + " (use YYYY-MM-DD)\n"},
      {"audit --limit", {"audit", "--limit", "x" + kForged}, "PL-2000: --limit: not a number: x" + kFlat + "\n"},
      {"render path", {"render", missing + kForged},
       "PL-2060: opening " + missing + kFlat + ": No such file or directory (os error 2)\n"},
      {"note subcommand", {"note", "x" + kForged},
       "PL-2000: unknown note subcommand 'x" + kFlat + "' (try: create, list, get, update, delete, search)\n"},
      {"note --status", {"note", "create", "--summary-file", sum, "--content-file", sum, "--status", "x" + kForged},
       "PL-2000: invalid status 'x" + kFlat + "' (use: draft, active, archived)\n"},
      {"note --json key", {"note", "create", "--json"}, "PL-2000: unknown key 'a" + kFlat + "' \u2014 ", true,
       json{{"summary", "s"}, {"content", "c"}, {"a" + kForged, "v"}}.dump()},
      {"memory search --limit", {"memory", "search", "--vector-file", vec, "--limit", "x" + kForged},
       "PL-2000: --limit: not a number: x" + kFlat + "\n"},
      {"memory delete query", {"memory", "delete", "q" + kForged}, "PL-2046: no entry matched 'q" + kFlat + "'\n"},
      {"repin --keys path", {"repin", "--keys", missing + kForged},
       "PL-2000: --keys " + missing + kFlat + ": No such file or directory (os error 2)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = run(c.args, c.stdin_data);
    EXPECT_TRUE(r.exited_with(1)) << r.err;
    EXPECT_EQ(r.out, "");
    if (c.prefix) {
      EXPECT_THAT(r.err, StartsWith(c.err));
    } else {
      EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("\nPL-0000")));
  }
}

// Before a command is chosen the error line is followed by an empty line and
// the help: the word itself still stays on its line.
TEST_F(ArgumentErrorLine, UnknownCommandWordStaysOnItsLine) {
  auto r = run({"x" + kForged});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "unknown command: 'x" + kFlat + "' (try 'pellucor-cli help')\n\n");
  EXPECT_THAT(r.out, HasSubstr("Usage"));
}

// The list of candidates is a message of several lines by design: it keeps
// them, and the query at its head is kept to its line.
TEST_F(ArgumentErrorLine, AmbiguityListKeepsItsLinesAroundAOneLineQuery) {
  vault_->on("search.query", [](const json&) {
    return VaultReply::success(json::array({{{"entry_id", "0000000000000001"}, {"title", "Git A"}},
                                            {{"entry_id", "0000000000000002"}, {"title", "Git B"}}}));
  });
  auto r = run({"get", "Git" + kForged});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_THAT(r.err, StartsWith("PL-2045: 2 matches for 'Git" + kFlat + "'; fetch one by its exact title:\n  Git A"));
  EXPECT_THAT(r.err, HasSubstr("\n  Git B"));
  EXPECT_THAT(r.err, Not(HasSubstr("\nPL-0000")));
}

}  // namespace
}  // namespace pellucor
