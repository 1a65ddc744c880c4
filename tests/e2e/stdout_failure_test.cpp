// Standard output that cannot be written (a full disk, here /dev/full): every
// command stops with one error line and status 1, like any other failure of
// a command. A reader that stopped reading ends a succeeding run quietly, but
// never turns a failed one into a success; a reader that is slow is waited
// for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
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

// Every way stdout and stderr can fail, for commands that succeed and
// commands that fail. A failing run ends with status 1 whatever becomes of
// its error line; only a closed stdout pipe leaves a succeeding run its
// quiet 0. A closed stderr costs a succeeding run nothing of its stdout.
TEST_F(FullStdout, StatusFollowsTheRunWhateverTheStreams) {
  SeedEntry github("GitHub", "credential");
  github.fields = {{"username", "octocat"}, {"password", "hunter2", "password", 2}};
  vault_->add_entry(github);
  const std::string with_ref = file("app.conf", "key=pellucor://GitHub/password\n");
  const std::filesystem::path elsewhere = home_ / "not-enrolled";
  std::filesystem::create_directory(elsewhere);

  struct Command {
    const char* name;
    std::vector<std::string> args;
    bool fails;
    bool enrolled = true;
  };
  const Command commands[] = {
      {"help", {"help"}, false},
      {"listing", {"get", "GitHub"}, false},
      {"render, its warning on stderr first", {"render", with_ref}, false},
      {"no command: the help, then status 1", {}, true},
      {"no match", {"get", "nothing like it"}, true},
      {"not enrolled", {"get", "x"}, true, false},
  };
  const test::StdoutMode outs[] = {test::StdoutMode::Pipe, test::StdoutMode::Full, test::StdoutMode::BrokenPipe};
  const test::StderrMode errs[] = {test::StderrMode::Pipe, test::StderrMode::Full, test::StderrMode::BrokenPipe};
  const char* const out_names[] = {"stdout fine", "stdout full", "stdout closed pipe"};
  const char* const err_names[] = {"stderr fine", "stderr full", "stderr closed pipe"};
  const std::string full_line = "PL-2000: failed printing to stdout: No space left on device (os error 28)\n";

  for (const Command& c : commands) {
    auto run_with = [&](test::StdoutMode out, test::StderrMode err) {
      test::RunOptions o = options(c.args);
      if (!c.enrolled) o.env["HOME"] = elsewhere.string();
      o.stdout_mode = out;
      o.stderr_mode = err;
      return test::run_process(o);
    };
    // What the command does when both streams take everything.
    const test::RunResult plain = run_with(test::StdoutMode::Pipe, test::StderrMode::Pipe);
    ASSERT_TRUE(plain.exited_with(c.fails ? 1 : 0)) << c.name << ": " << plain.err;

    for (int i = 0; i < 3; ++i) {
      for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(std::string(c.name) + ", " + out_names[i] + ", " + err_names[k]);
        const test::RunResult r = run_with(outs[i], errs[k]);
        const bool out_full = outs[i] == test::StdoutMode::Full && !plain.out.empty();
        const bool err_full = errs[k] == test::StderrMode::Full && (!plain.err.empty() || out_full);
        const int status = c.fails || out_full || err_full ? 1 : 0;
        EXPECT_TRUE(r.exited_with(status)) << r.exit_code << " " << r.term_signal;
        if (errs[k] == test::StderrMode::Pipe) {
          EXPECT_EQ(r.err, out_full ? plain.err + full_line : plain.err);
        }
        if (outs[i] == test::StdoutMode::Pipe && errs[k] != test::StderrMode::Full) {
          EXPECT_EQ(r.out, plain.out);
        }
      }
    }
  }
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
