// The agent's credential and keys must never reach a core file: the program,
// caught mid-call with the credential in memory, is neither dumpable nor
// allowed a core of any size, even when its limit is raised from outside
// and it is killed the way a broken invariant ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using testing::SeedEntry;
using testing::VaultReply;

// The pid of the pellucor-cli this test process started (its only child
// while a test runs), found through /proc/<pid>/stat, which stays readable
// whatever the program does to itself.
std::optional<pid_t> running_cli() {
  for (const fs::directory_entry& d : fs::directory_iterator("/proc")) {
    const std::string name = d.path().filename().string();
    if (name.empty() || !std::isdigit(static_cast<unsigned char>(name[0]))) continue;
    std::ifstream in(d.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // "pid (comm) state ppid ..."; comm may hold spaces and parentheses.
    const std::size_t open = stat.find('(');
    const std::size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) continue;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    pid_t ppid = 0;
    if (!(rest >> state >> ppid)) continue;
    if (ppid == ::getpid() && stat.substr(open + 1, close - open - 1) == "pellucor-cli") return std::stoi(name);
  }
  return std::nullopt;
}

// The "Max core file size" line of /proc/<pid>/limits, white space squeezed:
// "Max core file size 0 0 bytes" for a soft and hard limit of zero.
std::string core_limit_line(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  for (std::string line; std::getline(in, line);) {
    if (!line.starts_with("Max core file size")) continue;
    std::istringstream words(line);
    std::string squeezed;
    for (std::string w; words >> w;) squeezed += (squeezed.empty() ? "" : " ") + w;
    return squeezed;
  }
  return "(no core limit line)";
}

class CoreDump : public testing::EnrolledCli {};

TEST_F(CoreDump, NoCoreOfAProgramHoldingTheCredential) {
  SeedEntry e("GitHub", "credential");
  e.fields = {{"password", "hunter2", "password", 2}};
  vault_->add_entry(e);

  // While the program waits for the vault's answer to "entry.get", it holds
  // the credential it just sent and the keys to read the answer.
  std::mutex mutex;  // the gate's thread fills these in
  std::optional<pid_t> pid;
  std::string limit;
  std::optional<uid_t> proc_owner;
  vault_->on("entry.get", [&](const nlohmann::json&) {
    std::lock_guard lock(mutex);
    if (!pid) {
      pid = running_cli();
      if (pid) {
        limit = core_limit_line(*pid);
        struct stat st {};
        if (::stat(("/proc/" + std::to_string(*pid)).c_str(), &st) == 0) proc_owner = st.st_uid;
        // Give it every chance to dump: a core limit raised from outside
        // (refused to a non-root test once the hard limit is zero), then
        // the signal of a failed assertion.
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        (void)::prlimit(*pid, RLIMIT_CORE, &unlimited, nullptr);
        ::kill(*pid, SIGABRT);
      }
    }
    return VaultReply::failure("STALLED", "the program should be gone");
  });

  test::RunOptions o = options({"get", "GitHub", "--field", "password"});
  o.cwd = home_.string();  // where a core named by a plain pattern would land
  const test::RunResult r = test::run_process(o);

  std::lock_guard lock(mutex);
  ASSERT_TRUE(pid.has_value()) << "the running program was not found; " << r.err;
  EXPECT_EQ(limit, "Max core file size 0 0 bytes");
  // Not dumpable: the kernel hands its /proc files to root. (A root test
  // cannot tell the owners apart; the dump below shows the flag instead.)
  if (::geteuid() != 0) {
    EXPECT_EQ(proc_owner, std::optional<uid_t>(0));
  }
  EXPECT_EQ(r.term_signal, SIGABRT) << r.exit_code << " " << r.err;
  EXPECT_FALSE(r.core_dumped);
  for (const fs::directory_entry& d : fs::directory_iterator(home_))
    EXPECT_FALSE(d.path().filename().string().starts_with("core")) << d.path();
}

}  // namespace
}  // namespace pellucor
