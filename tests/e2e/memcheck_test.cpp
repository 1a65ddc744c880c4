// The `get` path under valgrind's memcheck: the real binary, the real
// handshake and the decryption of a secret field, with no leaked block and no
// read of uninitialised memory. Skipped when valgrind is not installed and in
// the sanitizer build, whose runtime cannot run under valgrind.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

// valgrind_installed: whether `valgrind` starts from PATH.
bool valgrind_installed() {
  test::RunOptions o;
  o.program = "valgrind";
  o.args = {"--version"};
  return test::run_process(o).exited_with(0);
}

class Memcheck : public testing::EnrolledCli {
 protected:
  void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime cannot run under valgrind";
#endif
    if (!valgrind_installed()) GTEST_SKIP() << "valgrind is not installed";
    EnrolledCli::SetUp();
    vault_->add_entry(testing::github_entry());
  }

  // memcheck runs pellucor-cli under memcheck with `args`; memcheck's own
  // findings make it exit with kFound and are reported on stderr.
  test::RunResult memcheck(const std::vector<std::string>& args) {
    test::RunOptions o = options(args);
    std::vector<std::string> vargs = {"--error-exitcode=" + std::to_string(kFound),
                                      "--leak-check=full",
                                      "--show-leak-kinds=definite,indirect",
                                      "--errors-for-leak-kinds=definite,indirect",
                                      "--track-origins=yes",
                                      "--quiet",
                                      o.program};
    vargs.insert(vargs.end(), o.args.begin(), o.args.end());
    o.argv0.reset();
    o.program = "valgrind";
    o.args = std::move(vargs);
    o.timeout = std::chrono::seconds(300);
    return test::run_process(o);
  }

  static constexpr int kFound = 99;
};

TEST_F(Memcheck, GetPathIsClean) {
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string out;
  };
  const std::vector<Case> cases = {
      // One secret field raw: search, fetch, decrypt, print.
      {{"get", "GitHub", "--field", "password"}, 0, "correct horse battery staple"},
      // Every field, and the JSON form.
      {{"get", "GitHub"}, 0, ""},
      {{"get", "GitHub", "--json"}, 0, ""},
      // A refusal after the gate call: the error path frees what it held.
      {{"get", "GitHub", "--field", "pin"}, 1, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : ""));
    auto r = memcheck(c.args);
    EXPECT_TRUE(r.exited_with(c.exit_code)) << "exit " << r.exit_code << "\n" << r.err;
    if (!c.out.empty()) {
      EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(r.err.find("=="), std::string::npos) << r.err;  // memcheck's own report lines
  }
}

}  // namespace
}  // namespace pellucor
