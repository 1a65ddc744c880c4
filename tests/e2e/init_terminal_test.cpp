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

TEST(InitAtATerminal, TypedKeyIsNotEchoed) {
  if (!fs::exists("/bin/stty") && !fs::exists("/usr/bin/stty")) GTEST_SKIP() << "no stty on this machine";
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) GTEST_SKIP() << "no pseudo-terminal";
  const std::string slave = ::ptsname(master);

  char tmpl[] = "/tmp/pellucor-init-tty-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path home = tmpl;
  const auto agent = testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
  const testing::Enrolment e = testing::mint_enrolment(agent);
  int out_pipe[2];
  ASSERT_EQ(::pipe(out_pipe), 0);

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::setsid();
    const int tty = ::open(slave.c_str(), O_RDWR);
    if (tty < 0) ::_exit(120);
    ::dup2(tty, 0);
    ::dup2(tty, 2);
    ::dup2(out_pipe[1], 1);
    ::close(out_pipe[0]);
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("NO_COLOR", "1", 1);
    // "--": a random blob may start with '-'.
    ::execl(PELLUCOR_CLI_PATH, PELLUCOR_CLI_PATH, "init", "--", e.blob.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out_pipe[1]);

  // Generous deadlines: under the sanitizers on a loaded machine the child
  // can take seconds to start; a passing run leaves each loop early.
  using namespace std::chrono_literals;
  std::string screen;
  for (const auto end = Clock::now() + 20s;
       Clock::now() < end && screen.find("Enrollment key: ") == std::string::npos;) {
    screen += read_some(master, 50ms);
  }
  EXPECT_NE(screen.find("Enrollment key: "), std::string::npos) << screen;
  for (const auto end = Clock::now() + 5s; Clock::now() < end && echo_is_on(master);) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(echo_is_on(master));

  const std::string typed = e.key + "\n";
  ASSERT_EQ(::write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  int status = 0;
  pid_t reaped = 0;
  for (const auto end = Clock::now() + 30s; Clock::now() < end;) {
    reaped = ::waitpid(pid, &status, WNOHANG);
    if (reaped != 0) break;
    screen += read_some(master, 20ms);
  }
  if (reaped == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    ADD_FAILURE() << "init did not finish";
  }
  screen += read_some(master, 100ms);
  const std::string out = read_some(out_pipe[0], 200ms);
  ::close(out_pipe[0]);

  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_EQ(screen.find(e.key), std::string::npos) << "the key was echoed: " << screen;
  EXPECT_EQ(out.rfind("OK: Enrolled.\n", 0), 0u) << out;
  EXPECT_TRUE(echo_is_on(master)) << "echo was not switched back on";
  ::close(master);
  fs::remove_all(home);
}

}  // namespace
}  // namespace pellucor
