// init at a terminal: the key prompt, and the key never echoed back.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/enrolment.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Reads what arrives on `fd` during `wait`, and always takes the whole
// `wait`: a pseudo-terminal master reports a hang-up (and reads fail) while
// no slave is open, before the child opens it and after the child closes it,
// so a failed read must not end the window early or callers' loops would spin
// through their time budget in microseconds.
std::string read_some(int fd, std::chrono::milliseconds wait) {
  std::string out;
  const auto end = Clock::now() + wait;
  while (Clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

bool echo_is_on(int master) {
  termios t{};
  return ::tcgetattr(master, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

using namespace std::chrono_literals;

// init with the blob as its argument, run with stdin and stderr on a fresh
// pseudo-terminal (its controlling terminal) and stdout on a pipe.
class InitAtATerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists("/bin/stty") && !fs::exists("/usr/bin/stty")) GTEST_SKIP() << "no stty on this machine";
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) GTEST_SKIP() << "no pseudo-terminal";
    const std::string slave = ::ptsname(master_);

    char tmpl[] = "/tmp/pellucor-init-tty-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    const auto agent = testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
    enrolment_ = testing::mint_enrolment(agent);
    int out_pipe[2];
    ASSERT_EQ(::pipe(out_pipe), 0);

    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::setsid();
      const int tty = ::open(slave.c_str(), O_RDWR);
      if (tty < 0) ::_exit(120);
      ::dup2(tty, 0);
      ::dup2(tty, 2);
      ::dup2(out_pipe[1], 1);
      ::close(out_pipe[0]);
      ::setenv("HOME", home_.c_str(), 1);
      ::unsetenv("XDG_CONFIG_HOME");
      ::setenv("NO_COLOR", "1", 1);
      // "--": a random blob may start with '-'.
      ::execl(PELLUCOR_CLI_PATH, PELLUCOR_CLI_PATH, "init", "--", enrolment_.blob.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out_pipe[1]);
    out_ = out_pipe[0];
  }
  void TearDown() override {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (master_ >= 0) ::close(master_);
    if (!home_.empty()) fs::remove_all(home_);
  }

  // Waits for the prompt and for echo to go off. Generous deadlines: under
  // the sanitizers on a loaded machine the child can take seconds to start;
  // a passing run leaves each loop early.
  void await_hidden_prompt() {
    for (const auto end = Clock::now() + 20s;
         Clock::now() < end && screen_.find("Enrollment key: ") == std::string::npos;) {
      screen_ += read_some(master_, 50ms);
    }
    EXPECT_NE(screen_.find("Enrollment key: "), std::string::npos) << screen_;
    for (const auto end = Clock::now() + 5s; Clock::now() < end && echo_is_on(master_);) {
      std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(echo_is_on(master_));
  }

  // The child's wait status once it ended; a failure when it did not.
  int await_end() {
    int status = 0;
    for (const auto end = Clock::now() + 30s; Clock::now() < end && !reaped_;) {
      reaped_ = ::waitpid(pid_, &status, WNOHANG) != 0;
      if (!reaped_) screen_ += read_some(master_, 20ms);
    }
    if (!reaped_) ADD_FAILURE() << "init did not finish";
    screen_ += read_some(master_, 100ms);
    return status;
  }

  int master_ = -1;
  int out_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  fs::path home_;
  testing::Enrolment enrolment_;
  std::string screen_;
};

TEST_F(InitAtATerminal, TypedKeyIsNotEchoed) {
  await_hidden_prompt();
  const std::string typed = enrolment_.key + "\n";
  ASSERT_EQ(::write(master_, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  const int status = await_end();
  const std::string out = read_some(out_, 200ms);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen_;
  EXPECT_EQ(screen_.find(enrolment_.key), std::string::npos) << "the key was echoed: " << screen_;
  EXPECT_EQ(out.rfind("OK: Enrolled.\n", 0), 0u) << out;
  EXPECT_TRUE(echo_is_on(master_)) << "echo was not switched back on";
}

// Giving up at the hidden prompt must not leave the terminal without echo;
// the process still ends by the signal (a shell reports 130 for SIGINT).
class InitInterrupted : public InitAtATerminal, public ::testing::WithParamInterface<int> {};

TEST_P(InitInterrupted, TerminalGetsItsEchoBack) {
  const int sig = GetParam();
  await_hidden_prompt();
  if (sig == SIGINT) {
    // ^C typed at the terminal, which sends SIGINT to its foreground group.
    ASSERT_EQ(::write(master_, "\x03", 1), 1);
  } else {
    ASSERT_EQ(::kill(pid_, sig), 0);
  }
  const int status = await_end();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status << ": " << screen_;
  EXPECT_TRUE(echo_is_on(master_)) << "echo stayed off";
  EXPECT_FALSE(fs::exists(home_ / ".config" / "pellucor" / "config")) << "nothing is written";
}

INSTANTIATE_TEST_SUITE_P(Signals, InitInterrupted, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(sigabbrev_np(info.param));
                         });

}  // namespace
}  // namespace pellucor
