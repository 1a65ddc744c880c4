// Standard input is read once. A command line that names it twice (two "-"
// file options, or a "-" file option beside an input that is standard input
// itself) is refused with one error line before any input is read or anything
// is sent; the second reader would otherwise store an empty value.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

class StdinOnce : public testing::EnrolledCli {};

TEST_F(StdinOnce, StandardInputNamedTwiceIsRefusedBeforeAnythingIsRead) {
  const std::string content = file("content", "C");
  // Named before the two dashes: were files read as their options are met,
  // this one would fail first.
  const std::string missing = (home_ / "missing").string();
  const std::string once = "PL-2000: standard input can be read only once: ";
  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"put", "credential", "T", "--password-file", "-", "--username-file", "-"},
       once + "--password-file - and --username-file - both read it\n"},
      {{"put", "credential", "T", "--notes-file", missing, "--password-file=-", "--password-file", "-"},
       once + "--password-file - and --password-file - both read it\n"},
      {{"note", "create", "--summary-file", "-", "--content-file", "-"},
       once + "--summary-file - and --content-file - both read it\n"},
      {{"memory", "create", "--embeddings-file", missing, "--embedding-model", "m", "--summary-file", "-",
        "--embeddings-file", "-", "--content-file", content},
       once + "--summary-file - and --embeddings-file - both read it\n"},
      // Without --content-file the content is what is piped in.
      {{"note", "create", "--summary-file", "-"},
       once + "--summary-file - and the piped content (no --content-file) both read it\n"},
      // With --json every value is standard input.
      {{"note", "create", "--json", "--summary-file", "-"}, once + "--json and --summary-file - both read it\n"},
      {{"memory", "create", "--embeddings-file", "-", "--json"}, once + "--embeddings-file - and --json both read it\n"},
      {{"note", "update", "T", "--content-file", "-", "--summary-file", "-"},
       once + "--content-file - and --summary-file - both read it\n"},
      {{"memory", "search", "--vector-file", "-", "--vector-file", "-"},
       once + "--vector-file - and --vector-file - both read it\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    auto r = run(c.args, "pw\n");
    EXPECT_TRUE(r.exited_with(1)) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(actions(), std::vector<std::string>{});
}

// One reader of standard input beside files is what it always was.
TEST_F(StdinOnce, OneDashBesideFilesStillReadsStandardInput) {
  const std::string user = file("user", "octocat\n");
  auto put = run({"put", "credential", "T", "--password-file", "-", "--username-file", user}, "pw\n");
  ASSERT_TRUE(put.exited_with(0)) << put.err;
  EXPECT_EQ(put.out, "OK: Created: T\n");
  auto got = run({"get", "T", "--field", "password"});
  ASSERT_TRUE(got.exited_with(0)) << got.err;
  EXPECT_EQ(got.out, "pw");
  auto name = run({"get", "T", "--field", "username"});
  EXPECT_EQ(name.out, "octocat");

  const std::string sum = file("sum", "Summary");
  auto note = run({"note", "create", "--summary-file", sum}, "piped content\n");
  ASSERT_TRUE(note.exited_with(0)) << note.err;
  EXPECT_EQ(note.out, "OK: Created: Summary\n");
  auto shown = run({"note", "get", "Summary", "--full"});
  EXPECT_THAT(shown.out, ::testing::EndsWith("\npiped content\n\n"));
}

}  // namespace
}  // namespace pellucor
