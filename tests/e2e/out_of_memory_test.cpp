// Running out of memory at any allocation: the real binary, with an allocator
// preloaded that fails from the N-th allocation on, for every N a whole
// command makes. Each run must end like any other run of the program: status
// 0 with the normal output, or status 1 with the one error line; never a
// signal, a core dump, a half report or a silent success.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

constexpr const char* kOutOfMemory = "PL-2110: out of memory\n";

class OutOfMemory : public testing::EnrolledCli {
 protected:
  void SetUp() override {
    EnrolledCli::SetUp();
    vault_->add_entry(testing::github_entry());
  }

  // preloaded: the run of `args` with the failing allocator loaded, failing
  // from allocation `fail_at` on (0: never), counting into `count_file` when
  // one is given.
  test::RunOptions preloaded(const std::vector<std::string>& args, unsigned long fail_at,
                             const std::string& count_file = {}) {
    test::RunOptions o = options(args);
    o.env["LD_PRELOAD"] = PELLUCOR_FAILING_NEW_PATH;
    o.env["PELLUCOR_FAIL_NEW_AT"] = std::to_string(fail_at);
    if (!count_file.empty()) o.env["PELLUCOR_COUNT_NEW_FILE"] = count_file;
#if defined(__SANITIZE_ADDRESS__)
    // The allocator is loaded ahead of the sanitizer's runtime, on purpose.
    o.env["ASAN_OPTIONS"] = std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                            ":verify_asan_link_order=0";
#endif
    return o;
  }

  // allocations: how many allocations a successful run of `args` makes,
  // checking on the way that the preloaded run is a normal one.
  unsigned long allocations(const std::vector<std::string>& args, const test::RunResult& normal) {
    const std::string count_file = (home_ / "allocations").string();
    auto r = test::run_process(preloaded(args, 0, count_file));
    EXPECT_TRUE(r.exited_with(0)) << r.err;
    EXPECT_EQ(r.out, normal.out);
    EXPECT_EQ(r.err, normal.err);
    std::ifstream in(count_file);
    unsigned long total = 0;
    in >> total;
    return total;
  }

  // sweep runs `args` once for every N from 1 to a little past the count of
  // a successful run, a few runs at a time, and checks each ending against
  // `normal`, the run without the allocator.
  void sweep(const std::vector<std::string>& args, const test::RunResult& normal) {
    const unsigned long total = allocations(args, normal);
    ASSERT_GT(total, 10u) << "the failing allocator is not in use";
    // A few more than counted: a run need not allocate exactly as often.
    const unsigned long last = total + 16;
    std::atomic<unsigned long> next{1};
    std::mutex mutex;
    std::vector<std::string> failures;
    unsigned long succeeded = 0, out_of_memory = 0;
    auto worker = [&] {
      for (unsigned long n = next++; n <= last; n = next++) {
        auto r = test::run_process(preloaded(args, n));
        const std::string verdict = judge(r, normal);
        std::lock_guard lock(mutex);
        if (!verdict.empty()) {
          failures.push_back("N=" + std::to_string(n) + ": " + verdict);
        } else if (r.exit_code == 0) {
          ++succeeded;
        } else {
          ++out_of_memory;
        }
      }
    };
    const unsigned threads = std::clamp(std::thread::hardware_concurrency() / 2, 1u, 4u);
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < threads; ++i) pool.emplace_back(worker);
    for (std::thread& t : pool) t.join();
    std::sort(failures.begin(), failures.end());
    for (const std::string& f : failures) ADD_FAILURE() << f;
    // Both endings were met: the sweep reached past the last allocation and
    // failures were injected early enough to matter.
    EXPECT_GT(succeeded, 0u);
    EXPECT_GT(out_of_memory, 0u);
  }

  // judge: empty when the run ended as a run of the program may, else what
  // was wrong with it.
  static std::string judge(const test::RunResult& r, const test::RunResult& normal) {
    if (r.timed_out) return "timed out";
    if (r.term_signal != 0) return "killed by signal " + std::to_string(r.term_signal) + "; stderr: " + r.err;
    if (r.exit_code == 0) {
      if (r.out != normal.out || r.err != normal.err) {
        return "status 0 with stdout '" + r.out + "', stderr '" + r.err + "'";
      }
      return {};
    }
    if (r.exit_code == 1 && r.err == kOutOfMemory) return {};
    return "status " + std::to_string(r.exit_code) + " with stderr '" + r.err + "'";
  }
};

TEST_F(OutOfMemory, EveryAllocationOfAWholeCommand) {
  struct Case {
    std::vector<std::string> args;
    std::string out;  // what stdout must be, or empty for any output
  };
  const std::vector<Case> cases = {
      // A secret field: a search, a fetch, a decryption, a raw print. An
      // empty stdout with status 0 would be a silent loss.
      {{"get", "GitHub", "--field", "password"}, "correct horse battery staple"},
      // The whole entry as JSON: the reply's tree is built, decrypted,
      // rebuilt and printed.
      {{"get", "GitHub", "--json"}, {}},
      // Every field, and the pseudo-fields, as lines.
      {{"get", "GitHub"}, {}},
      // A search alone, with its titles printed.
      {{"find", "GitHub"}, {}},
      // A template read from a file, its references resolved and the
      // filled-in text printed.
      {{"render", file("app.json", "{\"user\": \"pellucor://GitHub/username\", "
                                    "\"key\": \"pellucor://GitHub/password\"}\n")},
       "{\"user\": \"octocat\", \"key\": \"correct horse battery staple\"}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + (c.args.size() > 2 ? " " + c.args[2] : ""));
    auto normal = run(c.args);
    ASSERT_TRUE(normal.exited_with(0)) << normal.err;
    if (!c.out.empty()) {
      ASSERT_EQ(normal.out, c.out);
    }
    sweep(c.args, normal);
  }
}

}  // namespace
}  // namespace pellucor
