// The repin command through the real binary, over a configuration written
// into a temporary XDG_CONFIG_HOME.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <sstream>
#include <string>

#include "cli/commands/repin.h"
#include "cli/input.h"
#include "gate/config_file.h"
#include "tests/support/enrolled_cli.h"
#include "tests/support/noise_responder.h"
#include "tests/support/process.h"

namespace pellucor::test {
namespace {

namespace fs = std::filesystem;

std::string node_key_hex() {
  auto pair = pellucor::testing::generate_node_key_pair();
  EXPECT_TRUE(pair.has_value());
  return pair->channel_key_hex();
}

std::string read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class RepinTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    old_key_ = new std::string(node_key_hex());
    new_home_ = new std::string(node_key_hex());
    new_replica_ = new std::string(node_key_hex());
  }
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-repin-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ / "pellucor" / "config";
  }
  void TearDown() override { fs::remove_all(dir_); }

  Config base_config(bool replica) const {
    Config c;
    c.vault_url = "https://Vault.Example.com:8443/x";
    c.vault_gate_pub = *old_key_;
    if (replica) {
      c.replica_url = "https://replica.example.net";
      c.replica_gate_pub = *old_key_;
    }
    c.vault_id = "0123456789abcdef";
    c.agent_id = "00112233445566778899aabbccddeeff";
    c.l2 = "ffeeddccbbaa99887766554433221100";
    c.device_id = "0f0e0d0c0b0a09080706050403020100";
    return c;
  }
  void enrol(bool replica) {
    ASSERT_TRUE(create_config_folder((dir_ / "pellucor").string()).has_value());
    ASSERT_TRUE(write_config(path_.string(), base_config(replica)).has_value());
  }
  RunOptions repin_options(std::vector<std::string> args) const {
    args.insert(args.begin(), "repin");
    RunOptions o = cli_options(std::move(args));
    o.env["XDG_CONFIG_HOME"] = dir_.string();
    o.env["NO_COLOR"] = "1";
    return o;
  }
  RunResult repin(std::vector<std::string> args) { return run_process(repin_options(std::move(args))); }
  fs::path write_keys(const std::string& text) {
    fs::path p = dir_ / "keys.txt";
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }

  static std::string* old_key_;
  static std::string* new_home_;
  static std::string* new_replica_;
  fs::path dir_, path_;
};
std::string* RepinTest::old_key_ = nullptr;
std::string* RepinTest::new_home_ = nullptr;
std::string* RepinTest::new_replica_ = nullptr;

TEST_F(RepinTest, HelpNeedsNoConfiguration) {
  RunResult r = repin({"--help"});
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.out.size(), 414u);
  EXPECT_TRUE(r.out.ends_with("`<host> <hex>` per line and is matched on this enrolment's hosts.\n"));
}

TEST_F(RepinTest, RewritesOnlyTheKeys) {
  enrol(true);
  RunResult r = repin({"--pop-pub", *new_home_, "--replica-pub=" + *new_replica_});
  EXPECT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "repinned: home Vault.Example.com, replica replica.example.net\n");
  auto loaded = load_config_at(path_.string());
  ASSERT_TRUE(loaded.has_value());
  Config want = base_config(true);
  want.vault_gate_pub = *new_home_;
  want.replica_gate_pub = *new_replica_;
  EXPECT_EQ(*loaded, want);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST_F(RepinTest, KeyFileMatchesHostsCaseInsensitively) {
  enrol(true);
  fs::path keys = write_keys("# fleet keys\n\nvault.EXAMPLE.com \t " + *new_home_ + "   # home\r\n" +
                             "replica.example.net " + *old_key_ + "\nreplica.example.net " + *new_replica_ +
                             "\nother.example.org " + *old_key_ + "\n");
  RunResult r = repin({"--keys", keys.string()});
  EXPECT_TRUE(r.exited_with(0)) << r.err;
  auto loaded = load_config_at(path_.string());
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(loaded->vault_gate_pub, *new_home_);
  EXPECT_EQ(loaded->replica_gate_pub, *new_replica_);  // the last key for a host wins
}

TEST_F(RepinTest, RefusalsLeaveTheFileUntouched) {
  const std::string k = *new_home_;
  std::string upper = k;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    bool replica;
    std::vector<std::string> args;
    std::string keys;  // written to keys.txt when not empty; "@" in args stands for its path
    std::string err;
  } cases[] = {
      {false, {"--pop-pub", std::string(64, 'a')}, "",
       "PL-2000: --pop-pub: a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key\n"},
      {false, {"-p"}, "", "PL-2000: unexpected: Short('p')\n"},
      {false, {"home"}, "", "PL-2000: unexpected: Value(\"home\")\n"},
      {false, {"--pop-pub"}, "", "PL-2000: missing argument for option '--pop-pub'\n"},
      {false, {}, "", "PL-2000: --pop-pub or --keys is required\n"},
      {false, {"--pop-pub", k, "--replica-pub", k}, "",
       "PL-2000: --replica-pub given, but this enrolment has no replica\n"},
      {true, {"--pop-pub", k}, "",
       "PL-2000: this enrolment has a replica (https://replica.example.net): give --replica-pub too, or use --keys\n"},
      {true, {"--keys", "@"}, "vault.example.com " + k + "\n",
       "PL-2000: --keys has no key for this enrolment's replica replica.example.net\n"},
      {false, {"--keys", "@"}, "replica.example.net " + k + "\n",
       "PL-2000: --keys has no key for this enrolment's home POP vault.example.com\n"},
      {false, {"--keys", "@", "--pop-pub", k}, "vault.example.com " + k + "\n",
       "PL-2000: give --keys or --pop-pub/--replica-pub, not both\n"},
      {false, {"--keys", "@"}, "# c\n\nvault.example.com " + k + " extra\n",
       "PL-2000: --keys line 3: want `<host> <hex>`\n"},
      {false, {"--keys", "@"}, "\nh.example " + std::string(64, 'b') + "\n",
       "PL-2000: --keys line 2 (h.example): a retired X25519 key (64 hex); this build needs a P-256 + ML-KEM key\n"},
      {false, {"--keys", "/nonexistent/keys"}, "",
       "PL-2000: --keys /nonexistent/keys: No such file or directory (os error 2)\n"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "pellucor");
    enrol(c.replica);
    const std::string before = read_bytes(path_);
    std::vector<std::string> args = c.args;
    if (!c.keys.empty()) {
      const std::string p = write_keys(c.keys).string();
      for (auto& a : args) {
        if (a == "@") a = p;
      }
    }
    RunResult r = repin(args);
    EXPECT_TRUE(r.exited_with(1)) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_bytes(path_), before) << c.err;
  }
  // Upper-case hex is not a channel key text.
  RunResult r = repin({"--pop-pub", upper});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_TRUE(r.err.starts_with("PL-2000: --pop-pub: ")) << r.err;
}

// A key file is read whole, but no further than the cap of every other input:
// an endless source ends in one error line instead of exhausted memory, and a
// real key file, a few 2498-digit keys, stays far below the cap.
TEST_F(RepinTest, KeyFileReadIsCapped) {
  const std::string home_line = "vault.example.com " + *new_home_ + "\n";
  auto padded = [&](std::size_t size) {  // the home key, then one comment line up to `size` bytes
    return home_line + "#" + std::string(size - home_line.size() - 2, 'x') + "\n";
  };
  const std::string too_large = "exceeds 262144 bytes (refuse to buffer unbounded input)\n";
  struct Case {
    std::string keys;        // written to keys.txt when not empty
    std::string stdin_data;  // piped in, the key file being /dev/stdin, when keys is empty
    std::string err;         // "" for success; "@" stands for the key file's path
  } cases[] = {
      {padded(MAX_INPUT_BYTES), "", ""},
      {padded(MAX_INPUT_BYTES + 1), "", "PL-2110: --keys @ " + too_large},
      {"", padded(MAX_INPUT_BYTES), ""},
      {"", padded(MAX_INPUT_BYTES + 1), "PL-2110: --keys @ " + too_large},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "pellucor");
    enrol(false);
    const std::string path = c.keys.empty() ? "/dev/stdin" : write_keys(c.keys).string();
    RunOptions o = repin_options({"--keys", path});
    o.stdin_data = c.stdin_data;
    RunResult r = run_process(o);
    std::string err = c.err;
    if (const std::size_t at = err.find('@'); at != std::string::npos) err.replace(at, 1, path);
    EXPECT_TRUE(r.exited_with(err.empty() ? 0 : 1)) << path << ": " << r.err;
    EXPECT_EQ(r.err, err);
    auto loaded = load_config_at(path_.string());
    ASSERT_TRUE(loaded.has_value());
    EXPECT_TRUE(loaded->vault_gate_pub == (err.empty() ? *new_home_ : *old_key_)) << path;
  }
}

// Under a memory limit an endless device used to end in an uncaught
// std::bad_alloc and an abort.
TEST_F(RepinTest, EndlessKeyFileUnderAMemoryLimit) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow memory: no address-space limit fits it";
#endif
  if (!prlimit_available()) GTEST_SKIP() << "needs " << kPrlimitPath;
  enrol(false);
  const std::string before = read_bytes(path_);
  RunResult r = run_process(under_prlimit(repin_options({"--keys", "/dev/zero"}), {"--as=536870912"}));
  EXPECT_TRUE(r.exited_with(1)) << "signal " << r.term_signal << ": " << r.err;
  EXPECT_EQ(r.err, "PL-2110: --keys /dev/zero exceeds 262144 bytes (refuse to buffer unbounded input)\n");
  EXPECT_EQ(read_bytes(path_), before);
}

// Past a file-size limit the rewrite fails with one line, the configuration
// as it was and no temporary file beside it (it used to die by SIGXFSZ).
TEST_F(RepinTest, AFileSizeLimitLeavesTheConfigurationAsItWas) {
  if (!prlimit_available()) GTEST_SKIP() << "needs " << kPrlimitPath;
  enrol(false);
  const std::string before = read_bytes(path_);
  RunResult r = run_process(under_prlimit(repin_options({"--pop-pub", *new_home_}), {"--fsize=1024"}));
  EXPECT_TRUE(r.exited_with(1)) << "signal " << r.term_signal << ": " << r.err;
  EXPECT_EQ(r.err, "PL-2002: writing temp config: File too large (os error 27)\n");
  EXPECT_EQ(read_bytes(path_), before);
  EXPECT_FALSE(fs::exists(dir_ / "pellucor" / ".config.tmp"));
}

TEST_F(RepinTest, MissingConfigurationComesBeforeOptionConflicts) {
  fs::path keys = write_keys("vault.example.com " + *new_home_ + "\n");
  RunResult r = repin({"--keys", keys.string(), "--pop-pub", *new_home_});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_TRUE(r.err.starts_with("PL-2003: ")) << r.err;
}

TEST_F(RepinTest, ConfigurationTurnedIntoALinkIsNotRewritten) {
  enrol(false);
  // A valid file elsewhere, linked in place of the real one: the loader
  // refuses links as well, so nothing is read or written through it.
  fs::rename(path_, dir_ / "real");
  fs::create_symlink(dir_ / "real", path_);
  const std::string before = read_bytes(dir_ / "real");
  RunResult r = repin({"--pop-pub", *new_home_});
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(read_bytes(dir_ / "real"), before);
}

// Two repins at once each report what happened to their own write: both may
// succeed (the later rename wins), but none may claim a write that the other
// destroyed, nor fail after its key reached the file.
TEST_F(RepinTest, TwoRepinsAtOnceReportWhatIsOnDisk) {
  enrol(false);
  const std::string* keys[] = {new_home_, new_replica_};
  std::vector<RunOptions> runs;
  for (const std::string* key : keys) runs.push_back(repin_options({"--pop-pub", *key}));
  for (int round = 0; round < 30; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(write_config(path_.string(), base_config(false)).has_value());
    const std::vector<RunResult> results = run_processes_together(runs);
    auto loaded = load_config_at(path_.string());
    ASSERT_TRUE(loaded.has_value()) << format_cli_error(loaded.error());
    bool held_by_a_success = false;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const bool holds = loaded->vault_gate_pub == *keys[i];
      if (results[i].exited_with(0)) {
        EXPECT_TRUE(results[i].out.starts_with("repinned: ")) << results[i].out;
        held_by_a_success = held_by_a_success || holds;
      } else {
        ADD_FAILURE() << "repin " << i << " failed: " << results[i].err;
        EXPECT_FALSE(holds) << "the file holds the key of the repin that failed";
      }
    }
    EXPECT_TRUE(held_by_a_success) << "the file holds no key a successful repin wrote";
    EXPECT_FALSE(fs::exists(dir_ / "pellucor" / ".config.tmp"));
  }
}

// Whether a process other than this one has `path` open.
bool another_process_has_open(const fs::path& path) {
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator("/proc", ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid == self || pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code gone;  // a process may end, or be another user's, while it is looked at
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", gone)) {
      if (fs::read_symlink(fd.path(), gone) == path) return true;
    }
  }
  return false;
}

// A repin waiting for the lock used to write back the configuration it had
// read before it: whatever another writer put there meanwhile was lost, and a
// file removed meanwhile came back.
TEST_F(RepinTest, WhatChangedWhileItWaitedForTheLockIsRespected) {
  Config other = base_config(false);
  other.agent_id = "99887766554433221100ffeeddccbbaa";
  other.device_id = "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf";
  Config rekeyed = base_config(false);
  rekeyed.vault_gate_pub = *new_replica_;
  struct Case {
    const char* what;
    std::optional<Config> meanwhile;  // put in place while repin waits; none: the file is removed
    std::string err;                  // "" for success
  } cases[] = {
      {"another enrolment", other,
       "PL-2002: config at " + path_.string() +
           " changed to another enrolment while repin waited \xe2\x80\x94 refuse to overwrite it (run repin again)\n"},
      {"removed", std::nullopt, "PL-2002: no config file at " + path_.string() + " to rewrite\n"},
      {"rewritten by another repin", rekeyed, ""},
  };
  const fs::path lock = dir_ / "pellucor" / ".config.lock";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(dir_ / "pellucor");
    enrol(false);
    const int held = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    auto running = std::async(std::launch::async, [o = repin_options({"--pop-pub", *new_home_})] { return run_process(o); });
    // Once repin has the lock file open, it has read the configuration and waits.
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         std::chrono::steady_clock::now() < end && !another_process_has_open(lock) &&
         running.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready;) {
    }
    EXPECT_TRUE(another_process_has_open(lock)) << "repin did not wait for the lock";
    std::string replacement;
    if (c.meanwhile) {
      const fs::path elsewhere = dir_ / "elsewhere" / "config";
      ASSERT_TRUE(write_config(elsewhere.string(), *c.meanwhile).has_value());
      replacement = read_bytes(elsewhere);
      fs::rename(elsewhere, path_);
    } else {
      fs::remove(path_);
    }
    ::close(held);
    const RunResult r = running.get();
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(r.exited_with(c.err.empty() ? 0 : 1));
    if (!c.meanwhile) {
      EXPECT_FALSE(fs::exists(path_));
    } else if (!c.err.empty()) {
      EXPECT_TRUE(read_bytes(path_) == replacement) << "the file put there was rewritten";
      auto loaded = load_config_at(path_.string());
      ASSERT_TRUE(loaded.has_value()) << format_cli_error(loaded.error());
      EXPECT_EQ(loaded->device_id, c.meanwhile->device_id);
    } else {
      auto loaded = load_config_at(path_.string());
      ASSERT_TRUE(loaded.has_value()) << format_cli_error(loaded.error());
      Config want = *c.meanwhile;
      want.vault_gate_pub = *new_home_;
      EXPECT_EQ(*loaded, want);
    }
  }
}

// A FIFO at the configuration path used to hang every command in open().
TEST_F(RepinTest, AFifoInPlaceOfTheConfigurationIsRefusedAtOnce) {
  ASSERT_TRUE(create_config_folder((dir_ / "pellucor").string()).has_value());
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  RunOptions o = repin_options({"--pop-pub", *new_home_});
  o.timeout = std::chrono::seconds(10);  // only stops a hang
  RunResult r = run_process(o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(r.exited_with(1));
  EXPECT_EQ(r.err, "PL-2003: config " + path_.string() + " is not a regular file \xe2\x80\x94 refuse to read it\n");
}

// An agent enrolled against the test gate, whose node then changes its key.
class RepinAfterRotation : public pellucor::testing::EnrolledCli {
 protected:
  // Serves the same vault on the same port under `node`'s keys only.
  void rotate_node_key(std::shared_ptr<const pellucor::testing::NodeKeyPair> node) {
    const int port = gate_->port();
    gate_.reset();
    pellucor::testing::TestGateOptions options;
    options.port = port;
    options.responder = pellucor::testing::noise_responder(std::move(node));
    options.vault = vault_->handler();
    options.trust_in_process = false;
    gate_ = std::make_unique<pellucor::testing::TestGate>(std::move(options));
  }
};

TEST_F(RepinAfterRotation, GateCallsUseTheNewKey) {
  vault_->add_entry({"Rotated", "note"});
  ASSERT_TRUE(run({"find", "Rotated"}).exited_with(0));

  auto fresh = pellucor::testing::generate_node_key_pair();
  ASSERT_TRUE(fresh.has_value());
  const std::string fresh_hex = fresh->channel_key_hex();
  rotate_node_key(std::make_shared<const pellucor::testing::NodeKeyPair>(std::move(*fresh)));

  // The pinned key is stale: the node cannot open the handshake.
  RunResult stale = run({"find", "Rotated"});
  EXPECT_TRUE(stale.exited_with(1));
  EXPECT_NE(stale.err.find("wrong pubkey or dark gate"), std::string::npos) << stale.err;

  RunResult repinned = run({"repin", "--pop-pub", fresh_hex});
  ASSERT_TRUE(repinned.exited_with(0)) << repinned.err;
  EXPECT_EQ(repinned.out, "repinned: home 127.0.0.1\n");

  RunResult after = run({"find", "Rotated"});
  EXPECT_TRUE(after.exited_with(0)) << after.err;
  EXPECT_EQ(after.out, "Rotated (note)\n");
}

TEST(NodeKeyFile, ParsesLinesCommentsAndCase) {
  auto key = pellucor::testing::generate_node_key_pair();
  ASSERT_TRUE(key.has_value());
  const std::string k = key->channel_key_hex();
  auto parsed = parse_node_key_file("#only a comment\n  A.Example  " + k + "  \r\n\n");
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(parsed->size(), 1u);
  EXPECT_EQ(parsed->at("a.example"), k);
  auto bad = parse_node_key_file("one-token\n");
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().message, "--keys line 1: want `<host> <hex>`");
}

}  // namespace
}  // namespace pellucor::test
