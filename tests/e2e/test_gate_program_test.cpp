// The test gate as a program: it writes its files, serves a whole gate call
// to a client that trusts its CA through SSL_CERT_FILE, and stops when its
// standard input closes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "crypto/encoding.h"
#include "gate/transport.h"

extern char** environ;

namespace pellucor {
namespace {

namespace fs = std::filesystem;

std::string read_line(const fs::path& p) {
  std::ifstream f(p);
  std::string line;
  std::getline(f, line);
  return line;
}

// One running pellucor-test-gate, fed by a pipe on its stdin.
class GateProcess {
 public:
  GateProcess(const fs::path& dir, const std::string& fault) : dir_(dir) {
    int in[2], out[2];
    // Close-on-exec, so that no other child holds this gate's stdin open.
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string exe = PELLUCOR_TEST_GATE_PATH;
    std::string d = dir.string();
    std::vector<char*> argv = {exe.data(), const_cast<char*>("--dir"), d.data()};
    std::string f = fault;
    if (!fault.empty()) {
      argv.push_back(const_cast<char*>("--fault"));
      argv.push_back(f.data());
    }
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    // The URL on stdout says every file is written.
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    url_ = line;
  }
  ~GateProcess() {
    if (pid_ > 0) (void)stop();
  }
  // Closes stdin and returns the exit status (-1 when it had to be killed).
  int stop() {
    ::close(stdin_);
    int status = 0;
    for (int i = 0; i < 500; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
  }
  const std::string& url() const { return url_; }
  GateEndpoint endpoint() const {
    GateEndpoint e{url_ + "/gate", {}};
    auto key = hex_decode(read_line(dir_ / "channel_key"), HexCase::Lower);
    EXPECT_TRUE(key && key->size() == kChannelKeyLen);
    if (key && key->size() == kChannelKeyLen) std::copy(key->begin(), key->end(), e.channel_key.bytes.begin());
    return e;
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::string url_;
};

TEST(TestGateProgram, ServesAWholeCallAndAFailover) {
  char tmpl[] = "/tmp/pellucor-gate-prog-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path root = tmpl;
  GateProcess good(root / "good", "");
  GateProcess refusing(root / "refusing", "status:503");
  ASSERT_FALSE(good.url().empty());
  EXPECT_EQ(read_line(root / "good" / "url"), good.url());
  EXPECT_TRUE(good.url().starts_with("https://127.0.0.1:"));

  // Trust both gates' CAs; the process reads this once, at its first call.
  {
    std::ofstream bundle(root / "bundle.pem");
    for (const char* g : {"good", "refusing"}) bundle << std::ifstream(root / g / "ca.pem").rdbuf();
  }
  ::setenv("SSL_CERT_FILE", (root / "bundle.pem").c_str(), 1);
  ::unsetenv("SSL_CERT_DIR");

  TransportOptions o;
  o.env = [](std::string_view) { return std::optional<std::string>(); };
  // No vault is plugged into the bare program: the gate's own error shows the
  // handshake and the reply went through.
  const std::string no_vault = "gate error NO_VAULT: no vault behind this test gate";
  GateEndpoint primary = good.endpoint();
  auto r = gate_call("plt_x", primary.gate_url, primary.channel_key.bytes, "system.ping", nullptr, o);
  ASSERT_FALSE(r);
  EXPECT_EQ(format_cli_error(r.error()), "PL-2047: " + no_vault);

  ::testing::internal::CaptureStderr();
  auto f = gate_call_with_failover("plt_x", refusing.endpoint(), good.endpoint(), "system.ping", nullptr, o);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "gate: primary unreachable, trying replica\n");
  ASSERT_FALSE(f);
  EXPECT_EQ(f.error().message, no_vault);

  EXPECT_EQ(good.stop(), 0);
  EXPECT_EQ(refusing.stop(), 0);
  fs::remove_all(root);
}

}  // namespace
}  // namespace pellucor
