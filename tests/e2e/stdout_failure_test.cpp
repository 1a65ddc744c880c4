// Standard output that cannot be written (a full disk, here /dev/full): every
// command stops with one error line and status 1, like any other failure of
// a command. A reader that is slow is waited for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"
#include "tests/support/similar_search.h"

namespace pellucor {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
using testing::SeedEntry;

class FullStdout : public testing::EnrolledCli {};

TEST_F(FullStdout, EveryCommandEndsWithOneErrorLine) {
  SeedEntry github("GitHub", "credential");
  github.fields = {{"username", "octocat"}, {"password", "hunter2", "password", 2}};
  vault_->add_entry(github);
  SeedEntry code("GitHub 2FA", "totp");
  code.totp_seed = std::vector<std::uint8_t>(20, '1');
  vault_->add_entry(code);
  for (const char* kind : {"note", "memory"}) {
    SeedEntry e(std::string("Plan ") + kind, kind);
    e.fields = {{"summary", "the plan", "text", 2}, {"content", "step one", "text", 2}, {"status", "draft"}};
    vault_->add_entry(e);
  }
  const std::string plain = file("plain.txt", "no references here\n");
  const std::string with_ref = file("app.conf", "key=pellucor://GitHub/password\n");
  const std::string vector = file("vector", testing::embedding_text({1.0f, 0.0f}));
  const std::string nospace = "No space left on device \\(os error 28\\)";

  struct Case {
    std::vector<std::string> args;
    std::string err;  // the whole of stderr, as a regular expression
  };
  const std::string line = "PL-2000: failed printing to stdout: " + nospace + "\n";
  const std::string render_warning =
      "warning: render wrote 1 secret field\\(s\\) to stdout .* pipe only to the local consumer\n";
  const Case cases[] = {
      {{"get", "GitHub"}, line},
      {{"get", "GitHub", "--json"}, line},
      {{"get", "GitHub", "--field", "password"}, "PL-2000: write field: " + nospace + "\n"},
      {{"get", "--help"}, line},
      {{"find", "GitHub"}, line},
      {{"totp", "GitHub 2FA"}, line},
      {{"audit"}, line},
      {{"audit", "--json"}, line},
      {{"render", plain}, line},
      {{"render", with_ref}, render_warning + line},
      {{"note", "get", "Plan note", "--full"}, line},
      {{"memory", "get", "Plan memory", "--json"}, line},
      {{"memory", "search", "--vector-file", vector}, line},
      {{"skill", "print"}, "PL-2100: write to stdout: " + nospace + "\n"},
      {{"version"}, line},
      {{"help"}, line},
      {{"--show-schema"}, line},
      {{}, line},
  };
  for (const Case& c : cases) {
    test::RunOptions o = options(c.args);
    o.stdout_mode = test::StdoutMode::Full;
    const test::RunResult r = test::run_process(o);
    const std::string shown = ::testing::PrintToString(c.args);
    EXPECT_TRUE(r.exited_with(1)) << shown << " " << r.exit_code << " " << r.term_signal;
    EXPECT_THAT(r.err, MatchesRegex(c.err)) << shown;
  }

  // A delete that cannot say so still happened: the failure is the report.
  test::RunOptions o = options({"delete", "GitHub"});
  o.stdout_mode = test::StdoutMode::Full;
  const test::RunResult r = test::run_process(o);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_THAT(r.err, MatchesRegex(line));
  EXPECT_EQ(actions().back(), "entry.delete");
}

// Standard error that cannot be written: nowhere to report it, but the
// command still fails.
TEST_F(FullStdout, FailedErrorLineStillFails) {
  test::RunOptions o = options({"get", "nothing like it"});
  o.program = "/bin/sh";
  o.args = {"-c", "exec \"$0\" get 'nothing like it' 2>/dev/full", PELLUCOR_CLI_PATH};
  const test::RunResult r = test::run_process(o);
  EXPECT_TRUE(r.exited_with(1)) << r.exit_code << " " << r.term_signal;
  EXPECT_EQ(r.out, "");
}

// A stdout pipe left non-blocking by whoever made it, and a reader slower
// than the program: the output is waited through, not cut off at what the
// pipe could hold.
TEST_F(FullStdout, NonBlockingStdoutIsWaitedFor) {
  SeedEntry github("GitHub", "credential");
  github.fields = {{"password", "hunter2", "password", 2}};
  vault_->add_entry(github);
  std::string filler;
  while (filler.size() < 200 * 1024) filler += "line " + std::to_string(filler.size()) + " of the template\n";
  const std::string with_ref = file("big.conf", "key=pellucor://GitHub/password\n" + filler);
  const std::string plain = file("big.txt", filler);
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"render", with_ref}, "key=hunter2\n" + filler},
      {{"render", plain}, filler},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    test::RunOptions o = options(c.args);
    o.stdout_mode = test::StdoutMode::NonBlockingPipe;
    const test::RunResult r = test::run_process(o);
    EXPECT_TRUE(r.exited_with(0)) << r.exit_code << " " << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("PL-")));
    EXPECT_EQ(r.out.size(), c.out.size());
    EXPECT_TRUE(r.out == c.out);
  }
}

}  // namespace
}  // namespace pellucor
