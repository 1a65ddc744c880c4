// init at a terminal: the key prompt, the key never echoed back, and the
// terminal given back as it was under every signal a user or a shell sends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "tests/support/enrolment.h"
#include "tests/support/pty.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::echo_is_on;
using test::read_some;

// The shell's side of a ShellJob; runs in a forked child and never returns.
// It leads a new session on the terminal `slave` and starts init there in a
// process group of its own, made the terminal's foreground group, as an
// interactive shell runs a job. Then it obeys one-byte commands on `commands`
// and answers each with an int on `answers`:
//   'w' waits for the job to stop or end and answers its wait status;
//   't' takes the terminal back for the shell's own group (after a stop);
//   'f' gives the terminal to the job and continues it (fg);
//   'b' continues the job behind the shell (bg).
[[noreturn]] void run_shell(const char* slave, const char* home, const char* blob, int out,
                            int commands, int answers) {
  ::setsid();
  const int tty = ::open(slave, O_RDWR);  // becomes the session's terminal
  if (tty < 0) ::_exit(120);
  // A shell moves the terminal between groups while it is not in front.
  ::signal(SIGTTOU, SIG_IGN);
  const pid_t job = ::fork();
  if (job < 0) ::_exit(121);
  if (job == 0) {
    ::setpgid(0, 0);
    ::tcsetpgrp(tty, ::getpid());
    ::signal(SIGTTOU, SIG_DFL);
    ::dup2(tty, 0);
    ::dup2(tty, 2);
    ::dup2(out, 1);
    ::close(tty);
    if (::chdir(home) != 0) ::_exit(122);
    // Cores allowed, so one written by the signals shows up in the cwd.
    rlimit core{};
    ::getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = core.rlim_max;
    ::setrlimit(RLIMIT_CORE, &core);
    ::setenv("HOME", home, 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("NO_COLOR", "1", 1);
    // "--": a random blob may start with '-'.
    ::execl(PELLUCOR_CLI_PATH, PELLUCOR_CLI_PATH, "init", "--", blob, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(job, job);
  int answer = job;
  if (::write(answers, &answer, sizeof answer) != sizeof answer) ::_exit(123);
  for (char c = 0; ::read(commands, &c, 1) == 1;) {
    answer = 0;
    switch (c) {
      case 'w':
        while (::waitpid(job, &answer, WUNTRACED) < 0 && errno == EINTR) {
        }
        break;
      case 't': ::tcsetpgrp(tty, ::getpgrp()); break;
      case 'f':
        ::tcsetpgrp(tty, job);
        ::kill(-job, SIGCONT);
        break;
      case 'b': ::kill(-job, SIGCONT); break;
      default: break;
    }
    if (::write(answers, &answer, sizeof answer) != sizeof answer) ::_exit(124);
  }
  ::_exit(0);
}

// One run of `init -- blob` under run_shell on a fresh pseudo-terminal, with
// its stdout on a pipe and `home` as its HOME and cwd. Everything it shows on
// the terminal is collected into screen.
class ShellJob {
 public:
  ShellJob(const fs::path& home, const std::string& blob) {
    if (tty_.master() < 0) return;
    int out[2], commands[2], answers[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(commands, O_CLOEXEC) != 0 ||
        ::pipe2(answers, O_CLOEXEC) != 0) {
      return;
    }
    const std::string slave = tty_.slave_path();
    const std::string home_text = home.string();
    shell_ = ::fork();
    if (shell_ == 0) run_shell(slave.c_str(), home_text.c_str(), blob.c_str(), out[1], commands[0], answers[1]);
    ::close(out[1]);
    ::close(commands[0]);
    ::close(answers[1]);
    out_ = out[0];
    commands_ = commands[1];
    answers_ = answers[0];
    if (shell_ > 0) {
      if (auto pid = answer()) cli_ = *pid;
    }
  }
  ~ShellJob() {
    if (cli_ > 0 && !ended_) {
      ::kill(-cli_, SIGKILL);
      ::kill(cli_, SIGKILL);
    }
    for (int fd : {out_, commands_, answers_}) {
      if (fd >= 0) ::close(fd);
    }
    if (shell_ > 0) {
      ::kill(shell_, SIGKILL);
      ::waitpid(shell_, nullptr, 0);
    }
  }
  ShellJob(const ShellJob&) = delete;
  ShellJob& operator=(const ShellJob&) = delete;

  bool started() const { return cli_ > 0; }
  pid_t pid() const { return cli_; }
  int master() const { return tty_.master(); }
  std::string screen;

  // Sends one command to the shell and returns its answer.
  std::optional<int> tell(char command) {
    if (::write(commands_, &command, 1) != 1) return std::nullopt;
    return answer();
  }

  // The prompt on the terminal, then echo off. Generous deadlines: under the
  // sanitizers on a loaded machine the child can take seconds to start; a
  // passing run leaves each loop early.
  void await_hidden_prompt() {
    EXPECT_TRUE(test::read_until(master(), screen, "Enrollment key: ", 0, 20s)) << screen;
    EXPECT_TRUE(await_echo(false)) << "echo stayed on";
  }

  // True once the terminal's echo is `on`, false when it did not get there.
  bool await_echo(bool on) {
    for (const auto end = Clock::now() + 5s; Clock::now() < end && echo_is_on(master()) != on;) {
      std::this_thread::sleep_for(5ms);
    }
    return echo_is_on(master()) == on;
  }

  void type(const std::string& text) {
    ASSERT_EQ(::write(master(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // The job's wait status once it stopped or ended; a failure when it did
  // neither within the deadline.
  int await_change() {
    const auto status = tell('w');
    if (!status) {
      ADD_FAILURE() << "init neither stopped nor ended: " << screen;
      return 0;
    }
    if (WIFEXITED(*status) || WIFSIGNALED(*status)) {
      ended_ = true;
      screen += read_some(master(), 100ms);
    }
    return *status;
  }

  // What init wrote on stdout; read once it ended.
  std::string stdout_text() { return read_some(out_, 200ms); }

 private:
  // One int from the shell, collecting the terminal's output meanwhile.
  std::optional<int> answer() {
    int value = 0;
    std::size_t got = 0;
    for (const auto end = Clock::now() + 30s; got < sizeof value;) {
      if (Clock::now() >= end) return std::nullopt;
      pollfd p[2] = {{answers_, POLLIN, 0}, {master(), POLLIN, 0}};
      if (::poll(p, 2, 20) <= 0) continue;
      if ((p[1].revents & POLLIN) != 0) {
        char buf[4096];
        const ssize_t n = ::read(master(), buf, sizeof buf);
        if (n > 0) screen.append(buf, static_cast<std::size_t>(n));
      }
      if ((p[0].revents & (POLLIN | POLLHUP)) != 0) {
        const ssize_t n = ::read(answers_, reinterpret_cast<char*>(&value) + got, sizeof value - got);
        if (n <= 0) return std::nullopt;
        got += static_cast<std::size_t>(n);
      }
    }
    return value;
  }

  test::PseudoTerminal tty_;
  pid_t shell_ = -1;
  pid_t cli_ = -1;
  int out_ = -1;
  int commands_ = -1;
  int answers_ = -1;
  bool ended_ = false;
};

class InitAtATerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::PseudoTerminal().master() < 0) GTEST_SKIP() << "no pseudo-terminal";
    char tmpl[] = "/tmp/pellucor-init-tty-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    home_ = tmpl;
    const auto agent = testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
    enrolment_ = testing::mint_enrolment(agent);
  }
  void TearDown() override {
    job_.reset();
    if (!home_.empty()) fs::remove_all(home_);
  }

  // Starts init (ending the run before, if any); false when it could not.
  bool start() {
    job_.reset();
    job_ = std::make_unique<ShellJob>(home_, enrolment_.blob);
    return job_->started();
  }
  ShellJob& job() { return *job_; }

  bool config_written() const { return fs::exists(home_ / ".config" / "pellucor" / "config"); }

  // Files named core* in init's cwd.
  std::string core_files() const {
    std::string found;
    for (const auto& entry : fs::directory_iterator(home_)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("core", 0) == 0) found += name + " ";
    }
    return found;
  }

  // Types the key and expects a normal enrolment with echo on at the end.
  void type_key_and_expect_enrolment() {
    job().type(enrolment_.key + "\n");
    const int status = job().await_change();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << job().screen;
    EXPECT_EQ(job().screen.find(enrolment_.key), std::string::npos) << "the key was echoed: " << job().screen;
    const std::string out = job().stdout_text();
    EXPECT_EQ(out.rfind("OK: Enrolled.\n", 0), 0u) << out;
    EXPECT_TRUE(echo_is_on(job().master())) << "echo was not switched back on";
  }

  fs::path home_;
  testing::Enrolment enrolment_;
  std::unique_ptr<ShellJob> job_;
};

TEST_F(InitAtATerminal, TypedKeyIsNotEchoed) {
  ASSERT_TRUE(start());
  job().await_hidden_prompt();
  type_key_and_expect_enrolment();
}

// Giving up at the hidden prompt must not leave the terminal without echo;
// the process still ends by the signal (a shell reports 130 for SIGINT), and
// ^\ writes no core, which would hold the key typed so far.
struct Interruption {
  int signal;
  const char* typed;  // the control character that sends it, or nullptr for kill
};

void PrintTo(const Interruption& c, std::ostream* os) { *os << sigabbrev_np(c.signal); }

class InitInterrupted : public InitAtATerminal, public ::testing::WithParamInterface<Interruption> {};

TEST_P(InitInterrupted, TerminalGetsItsEchoBack) {
  const Interruption& c = GetParam();
  ASSERT_TRUE(start());
  job().await_hidden_prompt();
  job().type("part of a key");
  if (c.typed != nullptr) {
    job().type(c.typed);  // the terminal signals its foreground group
  } else {
    ASSERT_EQ(::kill(job().pid(), c.signal), 0);
  }
  const int status = job().await_change();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status << ": " << job().screen;
  EXPECT_FALSE(WIFSIGNALED(status) && WCOREDUMP(status)) << "a core was dumped";
  EXPECT_EQ(core_files(), "");
  EXPECT_TRUE(echo_is_on(job().master())) << "echo stayed off";
  EXPECT_FALSE(config_written()) << "nothing is written";
}

INSTANTIATE_TEST_SUITE_P(Signals, InitInterrupted,
                         ::testing::Values(Interruption{SIGINT, "\x03"}, Interruption{SIGQUIT, "\x1c"},
                                           Interruption{SIGTERM, nullptr}, Interruption{SIGHUP, nullptr}),
                         [](const ::testing::TestParamInfo<Interruption>& info) {
                           return std::string(sigabbrev_np(info.param.signal));
                         });

// A job stopped at the hidden prompt hands the shell a terminal that echoes;
// continued in the foreground it hides the input again and asks again.
struct Stop {
  const char* name;
  int signal;
  const char* typed;     // the control character that sends it, or nullptr for kill
  bool via_background;   // continued with bg first: it stops again on reading
};

void PrintTo(const Stop& c, std::ostream* os) { *os << c.name; }

class InitStopped : public InitAtATerminal, public ::testing::WithParamInterface<Stop> {};

TEST_P(InitStopped, ShellGetsEchoAndThePromptHidesAgainInFront) {
  const Stop& c = GetParam();
  ASSERT_TRUE(start());
  job().await_hidden_prompt();
  if (c.typed != nullptr) {
    job().type(c.typed);
  } else {
    ASSERT_EQ(::kill(job().pid(), c.signal), 0);
  }
  int status = job().await_change();
  ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == c.signal) << "status " << status << ": " << job().screen;
  ASSERT_TRUE(job().tell('t'));
  EXPECT_TRUE(echo_is_on(job().master())) << "stopped with echo off";

  if (c.via_background) {
    ASSERT_TRUE(job().tell('b'));
    status = job().await_change();
    ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTTIN) << "status " << status << ": " << job().screen;
    EXPECT_TRUE(echo_is_on(job().master())) << "a job behind the shell took its echo";
  }

  const std::size_t first_prompt = job().screen.find("Enrollment key: ");
  ASSERT_TRUE(job().tell('f'));
  EXPECT_TRUE(test::read_until(job().master(), job().screen, "Enrollment key: ", first_prompt + 1, 20s))
      << "the prompt was not written again: " << job().screen;
  EXPECT_TRUE(job().await_echo(false)) << "the input is not hidden again";
  type_key_and_expect_enrolment();
  EXPECT_TRUE(config_written());
}

INSTANTIATE_TEST_SUITE_P(Signals, InitStopped,
                         ::testing::Values(Stop{"CtrlZ", SIGTSTP, "\x1a", false},
                                           Stop{"CtrlZThenBackground", SIGTSTP, "\x1a", true},
                                           Stop{"TTIN", SIGTTIN, nullptr, false},
                                           Stop{"TTOU", SIGTTOU, nullptr, false}),
                         [](const ::testing::TestParamInfo<Stop>& info) { return std::string(info.param.name); });

// A SIGTERM at any moment around the prompt's appearance, while the echo is
// being switched off included, ends init with the terminal's echo on.
TEST_F(InitAtATerminal, TermAtAnyMomentLeavesEchoOn) {
  const auto budget_end = Clock::now() + 40s;
  for (auto delay = 0us; delay <= 6000us && Clock::now() < budget_end; delay += 100us) {
    ASSERT_TRUE(start());
    ASSERT_TRUE(test::read_until(job().master(), job().screen, "Enrollment key: ", 0, 20s)) << job().screen;
    std::this_thread::sleep_for(delay);
    ASSERT_EQ(::kill(job().pid(), SIGTERM), 0);
    const int status = job().await_change();
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "status " << status;
    ASSERT_TRUE(echo_is_on(job().master())) << "echo stayed off after a SIGTERM " << delay.count()
                                            << " us after the prompt";
  }
}

}  // namespace
}  // namespace pellucor
