// Enrolment through the real binary, with a temporary HOME.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands/init.h"
#include "gate/config_file.h"
#include "tests/support/enrolment.h"
#include "tests/support/process.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using testing::EnrolledAgent;
using testing::Enrolment;

class InitCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-init-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    config_path_ = (home_ / ".config" / "pellucor" / "config").string();
    agent_ = testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
  }
  void TearDown() override { fs::remove_all(home_); }

  test::RunOptions init_options(std::vector<std::string> args, std::string stdin_data) const {
    args.insert(args.begin(), "init");
    test::RunOptions o = test::cli_options(std::move(args));
    o.stdin_data = std::move(stdin_data);
    o.env["HOME"] = home_.string();
    o.env["XDG_CONFIG_HOME"] = std::nullopt;
    o.env["NO_COLOR"] = "1";
    o.timeout = std::chrono::seconds(20);
    return o;
  }
  test::RunResult init(std::vector<std::string> args, std::string stdin_data) {
    return test::run_process(init_options(std::move(args), std::move(stdin_data)));
  }
  test::RunResult init_piped(const Enrolment& e) { return init({}, e.blob + "\n" + e.key + "\n"); }

  std::string summary(const EnrolledAgent& a, bool replica = false) const {
    std::string out = "OK: Enrolled.\n  Vault: https://" + a.pop + "\n";
    if (replica) out += "  Replica: https://" + a.replica_host + "\n";
    out += "  Vault ID: " + a.vault_id + "\n";
    out += "  Agent: " + a.agent_id.substr(0, 8) + "\xe2\x80\xa6" + a.agent_id.substr(24) + "\n";
    out += "  Config: " + config_path_ + "\n\n";
    out += "Try: pellucor-cli get \"entry name\"\n     pellucor-cli skill install\n";
    return out;
  }

  fs::path home_;
  std::string config_path_;
  EnrolledAgent agent_;
};

TEST_F(InitCommand, HelpPrintsTheUsageWithoutReadingAnything) {
  auto r = init({"--help"}, "");
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.out, kInitUsage);
  EXPECT_EQ(r.out.size(), 310u);
  EXPECT_EQ(r.err, "");

  auto h = init({"-h"}, "");
  EXPECT_TRUE(h.exited_with(1));
  EXPECT_EQ(h.err, "PL-2000: unexpected: Short('h')\n");
  auto two = init({"blob", "more"}, "");
  EXPECT_TRUE(two.exited_with(1));
  EXPECT_EQ(two.err, "PL-2000: unexpected: Value(\"more\")\n");
}

TEST_F(InitCommand, EnrolsFromAPipeWithoutAnyPrompt) {
  auto r = init_piped(testing::mint_enrolment(agent_));
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, summary(agent_));

  struct stat st {};
  ASSERT_EQ(::stat(config_path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto config = load_config_at(config_path_);
  ASSERT_TRUE(config.has_value()) << format_cli_error(config.error());
  EXPECT_EQ(config->vault_url, "https://vault.example.test");
  EXPECT_EQ(config->vault_gate_pub, agent_.pop_pub);
  EXPECT_EQ(config->vault_id, agent_.vault_id);
  EXPECT_EQ(config->agent_id.view(), agent_.agent_id);
  EXPECT_EQ(config->l2.view(), agent_.l2);
  EXPECT_EQ(config->device_id.size(), 32u);
  EXPECT_FALSE(fs::exists(home_ / ".config" / "pellucor" / ".config.tmp"));
}

// Past a file-size limit the write used to end the process by SIGXFSZ, with
// no error line, and to leave a partial temporary file beside the
// configuration.
TEST_F(InitCommand, AFileSizeLimitFailsTheWriteWithOneLineAndLeavesNoFile) {
  if (!test::prlimit_available()) GTEST_SKIP() << "needs " << test::kPrlimitPath;
  const Enrolment e = testing::mint_enrolment(agent_);
  // 1 KiB: less than any configuration (its home key alone is 2498 digits).
  const test::RunResult r =
      test::run_process(test::under_prlimit(init_options({}, e.blob + "\n" + e.key + "\n"), {"--fsize=1024"}));
  EXPECT_TRUE(r.exited_with(1)) << "signal " << r.term_signal << ": " << r.err;
  EXPECT_EQ(r.err, "PL-2002: writing temp config: File too large (os error 27)\n");
  EXPECT_EQ(r.out, "");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(home_ / ".config" / "pellucor")) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{".config.lock"});
}

TEST_F(InitCommand, BlobAsArgumentTakesTheKeyFromTheFirstLine) {
  agent_.replica_host = "replica.example.test";
  // A blob is random base64url: one in 64 starts with '-' and would read as an
  // option (the next test covers that case).
  Enrolment e = testing::mint_enrolment(agent_);
  while (e.blob.starts_with('-')) e = testing::mint_enrolment(agent_);
  auto r = init({e.blob}, e.key + "\n");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, summary(agent_, /*replica=*/true));
  auto config = load_config_at(config_path_);
  ASSERT_TRUE(config.has_value());
  EXPECT_EQ(config->replica_url, "https://replica.example.test");
  EXPECT_EQ(config->replica_gate_pub, "");
}

TEST_F(InitCommand, BlobStartingWithADashNeedsTheSeparator) {
  Enrolment e = testing::mint_enrolment(agent_);
  while (!e.blob.starts_with('-')) e = testing::mint_enrolment(agent_);
  auto refused = init({e.blob}, e.key + "\n");
  EXPECT_TRUE(refused.exited_with(1));
  // "-x…" reads as a short option, "--x…" as a long one.
  EXPECT_TRUE(refused.err.starts_with("PL-2000: unexpected: Short(") ||
              refused.err.starts_with("PL-2000: unexpected: Long("))
      << refused.err;
  EXPECT_FALSE(fs::exists(config_path_));
  auto r = init({"--", e.blob}, e.key + "\n");
  ASSERT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_TRUE(fs::exists(config_path_));
}

TEST_F(InitCommand, EveryEnrolmentDrawsANewDeviceId) {
  const Enrolment e = testing::mint_enrolment(agent_);
  ASSERT_TRUE(init_piped(e).exited_with(0));
  const std::string first = std::string(load_config_at(config_path_)->device_id.view());
  fs::remove(config_path_);
  ASSERT_TRUE(init_piped(e).exited_with(0));
  EXPECT_NE(std::string(load_config_at(config_path_)->device_id.view()), first);
}

TEST_F(InitCommand, RefusesBadInputAndWritesNothing) {
  const Enrolment good = testing::mint_enrolment(agent_);
  auto with = [&](void (*edit)(nlohmann::ordered_json&)) {
    auto j = testing::blob_json(agent_);
    edit(j);
    const Enrolment e = testing::seal_enrolment(j.dump());
    return e.blob + "\n" + e.key + "\n";
  };
  const std::string not_authentic =
      "PL-2001: enrollment blob did not authenticate \xe2\x80\x94 wrong key or corrupt blob\n";
  const std::string key_length = "PL-2001: enrollment key must be 32 bytes (base64url of a 256-bit key)\n";
  const std::string retired =
      "PL-2001: this enrollment blob carries no POP key or a retired X25519 one \xe2\x80\x94 make a "
      "new client blob in the vault and connect again\n";
  const std::pair<std::string, std::string> cases[] = {
      {good.blob + "\n" + testing::random_key_text(32) + "\n", not_authentic},
      {good.blob + "\n" + testing::random_key_text(31) + "\n", key_length},
      {"garbage\n" + testing::random_key_text(33) + "\n", key_length},
      {with([](nlohmann::ordered_json& j) { j["vault_id"] = "0000000000000000"; }),
       "PL-2001: enrollment blob carries an old-form vault id \xe2\x80\x94 mint a new blob\n"},
      {with([](nlohmann::ordered_json& j) { j["pop_pub"] = std::string(64, 'c'); }), retired},
      {with([](nlohmann::ordered_json& j) { j.erase("pop_pub"); }), retired},
      {"", "PL-2006: no blob on stdin (use: pellucor-cli init <blob>)\n"},
      {"  \n", "PL-2006: no blob on stdin (use: pellucor-cli init <blob>)\n"},
      {good.blob + "\n",
       "PL-2006: no enrollment key provided (paste it when prompted, or pipe it as the line after "
       "the blob)\n"},
  };
  for (const auto& [input, expected] : cases) {
    auto r = init({}, input);
    EXPECT_TRUE(r.exited_with(1)) << expected;
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(home_ / ".config" / "pellucor"));
  }
}

// Such a host used to enrol; every later command then refused the written
// vault URL, and a new init refused the existing file.
TEST_F(InitCommand, AHostNoCallCouldReachIsRefusedBeforeAnythingIsWritten) {
  for (const std::string host : {"vault.example@evil.example", "h/p?x#y", "a b", "a:99999"}) {
    for (const bool replica : {false, true}) {
      EnrolledAgent a = agent_;
      (replica ? a.replica_host : a.pop) = host;
      if (replica) a.replica_pub = a.pop_pub;
      auto r = init_piped(testing::mint_enrolment(a));
      EXPECT_TRUE(r.exited_with(1)) << host << " replica=" << replica << ": " << r.out;
      EXPECT_EQ(r.err, "PL-2001: vault_url is not a clean https origin (got https://" + host + ")\n");
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(fs::is_empty(home_)) << host << " replica=" << replica;
    }
  }
}

TEST_F(InitCommand, NeverReplacesAnExistingConfigOrLink) {
  const Enrolment e = testing::mint_enrolment(agent_);
  const std::string refusal = "PL-2002: config already exists at " + config_path_ +
                              " \xe2\x80\x94 refuse to overwrite (delete it explicitly to re-enroll)\n";
  fs::create_directories(home_ / ".config" / "pellucor");
  std::ofstream(config_path_) << "keep me";
  auto r = init_piped(e);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, refusal);
  std::ifstream in(config_path_);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");

  fs::remove(config_path_);
  fs::create_symlink(home_ / "nowhere", config_path_);
  auto dangling = init_piped(e);
  EXPECT_TRUE(dangling.exited_with(1));
  // The link is met first by the walk over the path's components.
  EXPECT_EQ(dangling.err, "PL-2003: config path component " + config_path_ +
                              " is a symlink \xe2\x80\x94 refuse to follow it\n");
  EXPECT_TRUE(fs::is_symlink(config_path_));
  EXPECT_FALSE(fs::exists(home_ / "nowhere"));
}

// The new file reaches the disk before the rename makes it the configuration,
// and the folder after it, so a crash cannot leave an empty or torn file in
// place of the agent's only copy of its keys.
TEST_F(InitCommand, FlushesTheFileBeforeTheRenameAndTheFolderAfterIt) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/strace";
  const std::string trace = (home_ / "trace").string();
  test::RunOptions o = init_options({}, "");
  const Enrolment e = testing::mint_enrolment(agent_);
  o.stdin_data = e.blob + "\n" + e.key + "\n";
  o.args.insert(o.args.begin(), {"-qq", "-e", "trace=openat,fsync,rename,renameat,renameat2", "-o", trace,
                                 o.program});
  o.program = "/usr/bin/strace";
  o.env["ASAN_OPTIONS"] = "detect_leaks=0";  // the leak checker cannot run under a tracer
  auto r = test::run_process(o);
  if (!r.exited_with(0) && r.err.find("ptrace") != std::string::npos) GTEST_SKIP() << r.err;
  ASSERT_TRUE(r.exited_with(0)) << r.err;

  std::ifstream in(trace);
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  const std::string folder = (home_ / ".config" / "pellucor").string();
  auto find_call = [&](std::size_t from, const std::string& text) {
    for (std::size_t i = from; i < calls.size(); ++i) {
      if (calls[i].find(text) != std::string::npos) return i;
    }
    return calls.size();
  };
  auto descriptor = [&](std::size_t i) { return calls[i].substr(calls[i].rfind("= ") + 2); };
  std::string tail;  // the calls around the write, for a failure message
  for (std::size_t i = calls.size() > 12 ? calls.size() - 12 : 0; i < calls.size(); ++i) tail += calls[i] + "\n";
  SCOPED_TRACE(tail);

  const std::size_t open_tmp = find_call(0, "\"" + folder + "/.config.tmp\"");
  ASSERT_LT(open_tmp, calls.size()) << "no open of the temporary file";
  // The first successful fsync of the descriptor an open call returned.
  auto synced = [&](std::size_t open) {
    const std::size_t i = find_call(open, "fsync(" + descriptor(open) + ")");
    return i < calls.size() && calls[i].ends_with("= 0") ? i : calls.size();
  };
  const std::size_t sync_tmp = synced(open_tmp);
  const std::size_t rename = find_call(open_tmp, "\"" + folder + "/config\"");
  EXPECT_LT(sync_tmp, rename) << "the temporary file is not flushed before the rename";
  ASSERT_LT(rename, calls.size()) << "no rename onto the configuration";
  const std::size_t open_folder = find_call(rename, "\"" + folder + "\", ");
  ASSERT_LT(open_folder, calls.size()) << "the folder is not opened after the rename";
  EXPECT_LT(synced(open_folder), calls.size())
      << "the folder is not flushed after the rename";
}

// Two enrolments at once: exactly one says so and its enrolment is the one on
// disk; the other gets the refusal any later enrolment gets and leaves nothing
// behind.
TEST_F(InitCommand, OfTwoEnrolmentsAtOnceExactlyOneWins) {
  const EnrolledAgent agents[] = {testing::make_agent("a.example.test", testing::placeholder_channel_key_text()),
                                  testing::make_agent("b.example.test", testing::placeholder_channel_key_text())};
  std::vector<test::RunOptions> runs;
  for (const EnrolledAgent& a : agents) {
    const Enrolment e = testing::mint_enrolment(a);
    runs.push_back(init_options({}, e.blob + "\n" + e.key + "\n"));
  }
  const std::string refusal = "PL-2002: config already exists at " + config_path_ +
                              " \xe2\x80\x94 refuse to overwrite (delete it explicitly to re-enroll)\n";
  const fs::path folder = home_ / ".config" / "pellucor";
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    fs::remove_all(home_ / ".config");
    const std::vector<test::RunResult> results = test::run_processes_together(runs);
    std::vector<std::size_t> winners;
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (results[i].exited_with(0)) {
        winners.push_back(i);
        EXPECT_EQ(results[i].out, summary(agents[i]));
      } else {
        EXPECT_TRUE(results[i].exited_with(1));
        EXPECT_EQ(results[i].err, refusal);
        EXPECT_EQ(results[i].out, "");
      }
    }
    ASSERT_EQ(winners.size(), 1u) << results[0].err << results[1].err;
    auto config = load_config_at(config_path_);
    ASSERT_TRUE(config.has_value()) << format_cli_error(config.error());
    EXPECT_EQ(config->agent_id.view(), agents[winners[0]].agent_id);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder)) left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".config.lock", "config"}));
  }
}

// Another local user must not be able to swap the file in the folder, nor a
// folder on the way to it, even when the umask would allow it: every folder
// the enrolment makes is private, and the folders that were there keep their
// modes.
TEST_F(InitCommand, EveryFolderItMakesIsPrivateUnderAnOpenUmask) {
  ::chmod(home_.c_str(), 0755);
  struct Case {
    std::optional<std::string> xdg_config_home;  // below HOME; unset: HOME/.config
    std::vector<fs::path> made;
  } cases[] = {
      {std::nullopt, {home_ / ".config", home_ / ".config" / "pellucor"}},
      {"a/b", {home_ / "a", home_ / "a" / "b", home_ / "a" / "b" / "pellucor"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.made.back());
    test::RunOptions o = init_options({}, "");
    const Enrolment e = testing::mint_enrolment(agent_);
    o.stdin_data = e.blob + "\n" + e.key + "\n";
    if (c.xdg_config_home) o.env["XDG_CONFIG_HOME"] = (home_ / *c.xdg_config_home).string();
    const mode_t old_mask = ::umask(0);
    const test::RunResult r = test::run_process(o);
    ::umask(old_mask);
    ASSERT_TRUE(r.exited_with(0)) << r.err;
    for (const fs::path& folder : c.made) {
      struct stat st {};
      ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
      EXPECT_EQ(st.st_mode & 07777, 0700u) << folder;
    }
    struct stat st {};
    ASSERT_EQ(::stat(home_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
  }
}

// A run under an address-space limit a few times what the program needs at
// all: memory that grew with the depth of a path would end it. The
// sanitizers reserve terabytes of shadow memory, so their builds run
// without one.
test::RunOptions with_modest_memory(test::RunOptions o) {
#if defined(__SANITIZE_ADDRESS__)
  return o;
#else
  EXPECT_TRUE(test::prlimit_available()) << "needs " << test::kPrlimitPath;
  return test::under_prlimit(std::move(o), {"--as=134217728"});
#endif
}

// The launcher really takes root's override away: a file of mode 0 stays shut.
void expect_file_modes_bind(const fs::path& scratch) {
  const fs::path shut = scratch / "shut";
  { std::ofstream(shut) << "x"; }
  ::chmod(shut.c_str(), 0);
  test::RunOptions o;
  o.program = "cat";
  o.args = {shut.string()};
  const test::RunResult r = test::run_process(test::without_dac_override(o));
  EXPECT_TRUE(r.exited_with(1)) << "status " << r.exit_code << ": " << r.err;
  fs::remove(shut);
}

std::string components(int count, const std::string& name) {
  std::string out;
  for (int i = 0; i < count; ++i) out += "/" + name;
  return out;
}

// A base of 30,000 components used to be made by a recursion, one frame per
// component: the stack overflowed (SIGSEGV, no line), and 20,000 took
// hundreds of megabytes and left thousands of folders. Past the system's
// path limit nothing can be made or written: one line, and nothing made.
TEST_F(InitCommand, APathBeyondTheSystemLimitIsRefusedBeforeAnythingIsMade) {
  const std::size_t limit = static_cast<std::size_t>(::pathconf("/", _PC_PATH_MAX)) - 1;
  const std::string deep = home_.string() + components(30000, "a");
  struct Case {
    const char* variable;
    std::string config;  // the path it gives
  } cases[] = {
      {"HOME", deep + "/.config/pellucor/config"},
      {"XDG_CONFIG_HOME", deep + "/pellucor/config"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    const Enrolment e = testing::mint_enrolment(agent_);
    test::RunOptions o = init_options({}, e.blob + "\n" + e.key + "\n");
    o.env[c.variable] = deep;
    const test::RunResult r = test::run_process(with_modest_memory(o));
    EXPECT_TRUE(r.exited_with(1)) << "signal " << r.term_signal << ": " << r.err.substr(0, 200);
    // The lock file beside the configuration is the longest path it makes.
    EXPECT_EQ(r.err, "PL-2002: config path is " + std::to_string(c.config.size()) + " bytes, more than the " +
                         std::to_string(limit - 6) + " the system allows for it\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_empty(home_));
  }
}

// Under a umask that takes the owner's read bit (0477) each folder comes out
// 0300; its mode used to be set through a descriptor opened for reading,
// which such a folder refuses to anyone without root's override. It is set
// by name now, and a deep but legal base enrols the same way, in flat memory.
// The configuration and its lock are 0600 whatever the umask.
TEST_F(InitCommand, EnrolsAtAnyLegalDepthUnderAnOwnerUnreadableUmask) {
  expect_file_modes_bind(home_);
  const std::string deep = components(100, std::string(30, 'd'));
  struct Case {
    std::optional<std::string> xdg_config_home;  // below HOME; unset: HOME/.config
    std::vector<std::string> made;               // below HOME
  } cases[] = {
      {std::nullopt, {"/.config", "/.config/pellucor"}},
      {deep, {}},
  };
  for (std::size_t n = 31; n <= deep.size(); n += 31) cases[1].made.push_back(deep.substr(0, n));  // each "/" and name
  cases[1].made.push_back(deep + "/pellucor");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.made.back().substr(0, 40));
    test::RunOptions o = init_options({}, "");
    const Enrolment e = testing::mint_enrolment(agent_);
    o.stdin_data = e.blob + "\n" + e.key + "\n";
    if (c.xdg_config_home) o.env["XDG_CONFIG_HOME"] = home_.string() + *c.xdg_config_home;
    const mode_t old_mask = ::umask(0477);
    const test::RunResult r = test::run_process(with_modest_memory(test::without_dac_override(o)));
    ::umask(old_mask);
    ASSERT_TRUE(r.exited_with(0)) << "status " << r.exit_code << ", signal " << r.term_signal << ": " << r.err;
    EXPECT_TRUE(r.out.starts_with("OK: Enrolled.\n")) << r.out;
    for (const std::string& below : c.made) {
      struct stat st {};
      ASSERT_EQ(::stat((home_.string() + below).c_str(), &st), 0) << below;
      EXPECT_EQ(st.st_mode & 07777, 0700u) << below;
    }
    // The files come out 0600 too, or no later command could read them.
    const std::string config = home_.string() + c.made.back() + "/config";
    for (const std::string& file : {config, home_.string() + c.made.back() + "/.config.lock"}) {
      struct stat st {};
      ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
      EXPECT_EQ(st.st_mode & 07777, 0600u) << file;
    }
    auto loaded = load_config_at(config);
    ASSERT_TRUE(loaded.has_value()) << format_cli_error(loaded.error());
    EXPECT_EQ(loaded->agent_id.view(), agent_.agent_id);
  }
}

TEST_F(InitCommand, EnvironmentIsConsultedOnlyAfterTheBlobOpened) {
  const Enrolment e = testing::mint_enrolment(agent_);
  test::RunOptions o = test::cli_options({"init"});
  o.stdin_data = e.blob + "\n" + e.key + "\n";
  o.env["HOME"] = std::nullopt;
  o.env["XDG_CONFIG_HOME"] = std::nullopt;
  auto r = test::run_process(o);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "PL-2003: cannot locate config: set HOME or XDG_CONFIG_HOME\n");

  o.stdin_data = "garbageA\n" + e.key + "\n";
  auto bad = test::run_process(o);
  EXPECT_EQ(bad.err, "PL-2001: enrollment blob did not authenticate \xe2\x80\x94 wrong key or corrupt blob\n");
}

}  // namespace
}  // namespace pellucor
