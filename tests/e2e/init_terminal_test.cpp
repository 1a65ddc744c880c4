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
#include <vector>

#include "tests/support/enrolment.h"
#include "tests/support/job_shell.h"
#include "tests/support/process.h"
#include "tests/support/pty.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::echo_is_on;
using test::ShellJob;

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

  // Starts `init -- blob` (ending the run before, if any) as a job of a
  // shell on a fresh terminal, with `home_` as its HOME and cwd; false when
  // it could not. "--": a random blob may start with '-'.
  bool start(bool in_background = false, bool shell_line_editing = false) {
    return start_with({"init", "--", enrolment_.blob}, in_background, shell_line_editing);
  }
  bool start_with(std::vector<std::string> args, bool in_background = false, bool shell_line_editing = false) {
    job_.reset();
    test::JobOptions o;
    o.run = test::cli_options(std::move(args));
    o.run.env["HOME"] = home_.string();
    o.run.env["XDG_CONFIG_HOME"] = std::nullopt;
    o.run.env["NO_COLOR"] = "1";
    o.run.cwd = home_.string();
    o.in_background = in_background;
    o.shell_line_editing = shell_line_editing;
    job_ = std::make_unique<ShellJob>(o);
    return job_->started();
  }
  ShellJob& job() { return *job_; }

  // The prompt on the terminal, then echo off.
  void await_hidden_prompt() {
    EXPECT_TRUE(job().await_screen("Enrollment key: ")) << job().screen;
    EXPECT_TRUE(job().await_echo(false)) << "echo stayed on";
  }

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
  await_hidden_prompt();
  type_key_and_expect_enrolment();
}

// A job started behind a line-editing shell: the shell holds the terminal
// in its own modes (canonical mode, echo and CR-to-NL off) until it gives
// the terminal to the job, and puts the user's modes back first, as such a
// shell does. The key prompt must work with the user's modes, so that Enter
// ends the line, and leave exactly those behind.
TEST_F(InitAtATerminal, StartedBehindALineEditorUsesTheUsersModesOnceInFront) {
  ASSERT_TRUE(start(/*in_background=*/true, /*shell_line_editing=*/true));
  const termios editing = job().modes();
  ASSERT_TRUE(job().await_screen("Enrollment key: ")) << job().screen;
  int status = job().await_change();
  ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTTIN) << "status " << status << ": " << job().screen;
  EXPECT_TRUE(test::same_modes(job().modes(), editing)) << "a job behind the shell changed the terminal: "
                                                        << test::modes_text(job().modes());

  ASSERT_EQ(job().tell(ShellJob::UserModes), 0);
  const std::size_t first_prompt = job().screen.find("Enrollment key: ");
  ASSERT_EQ(job().tell(ShellJob::Foreground), 0);
  ASSERT_TRUE(job().await_screen("Enrollment key: ", first_prompt + 1)) << job().screen;
  ASSERT_TRUE(job().await_echo(false)) << "the input is not hidden";
  termios hidden = job().user_modes();
  hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ASSERT_EQ(test::modes_text(job().modes()), test::modes_text(hidden));

  job().type(enrolment_.key + "\r");  // Enter, as the terminal sends it
  status = job().await_change();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << job().screen;
  EXPECT_EQ(job().stdout_text().rfind("OK: Enrolled.\n", 0), 0u);
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes()))
      << "left " << test::modes_text(job().modes()) << ", the user had " << test::modes_text(job().user_modes());
}

// A blob pasted at the prompt arrives whole, however far past the terminal's
// own line buffer (4 KiB) it reaches, and the paste stays visible as before.
TEST_F(InitAtATerminal, PastedBlobLongerThanTheTerminalLineArrivesWhole) {
  auto agent = testing::make_agent("vault.example.test", testing::placeholder_channel_key_text());
  agent.replica_host = "replica.example.test";
  agent.replica_pub = testing::placeholder_channel_key_text();
  enrolment_ = testing::mint_enrolment(agent);
  ASSERT_GT(enrolment_.blob.size(), 6900u);
  ASSERT_TRUE(start_with({"init"}));
  ASSERT_TRUE(job().await_screen("Paste enrollment blob, then press Enter:")) << job().screen;
  ASSERT_TRUE(job().await_echo(true));
  job().type(enrolment_.blob + "\r");
  await_hidden_prompt();
  EXPECT_NE(job().screen.find(enrolment_.blob), std::string::npos) << "the paste was not shown";
  type_key_and_expect_enrolment();
  EXPECT_TRUE(config_written());
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << test::modes_text(job().modes());
}

// At the blob prompt the terminal's line editing is off; Ctrl-C gives the
// terminal back as the user had it, and so does Ctrl-Z until the job is in
// front again, when the prompt asks afresh and the half paste is dropped.
TEST_F(InitAtATerminal, BlobPromptGivesTheTerminalBackOnSignals) {
  constexpr const char* prompt = "Paste enrollment blob, then press Enter:";
  ASSERT_TRUE(start_with({"init"}));
  ASSERT_TRUE(job().await_screen(prompt)) << job().screen;
  job().type("half a paste\x03");
  int status = job().await_change();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status << ": " << job().screen;
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << test::modes_text(job().modes());

  ASSERT_TRUE(start_with({"init"}));
  ASSERT_TRUE(job().await_screen(prompt)) << job().screen;
  job().type(enrolment_.blob.substr(0, 100) + "\x1a");
  status = job().await_change();
  ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTSTP) << "status " << status << ": " << job().screen;
  ASSERT_EQ(job().tell(ShellJob::TakeTerminal), 0);
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << "stopped with " << test::modes_text(job().modes());
  const std::size_t first_prompt = job().screen.find(prompt);
  ASSERT_EQ(job().tell(ShellJob::Foreground), 0);
  ASSERT_TRUE(job().await_screen(prompt, first_prompt + 1)) << "the prompt was not written again: " << job().screen;
  job().type(enrolment_.blob + "\r");
  await_hidden_prompt();
  type_key_and_expect_enrolment();
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << test::modes_text(job().modes());
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
  await_hidden_prompt();
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
  await_hidden_prompt();
  if (c.typed != nullptr) {
    job().type(c.typed);
  } else {
    ASSERT_EQ(::kill(job().pid(), c.signal), 0);
  }
  int status = job().await_change();
  ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == c.signal) << "status " << status << ": " << job().screen;
  ASSERT_TRUE(job().tell(ShellJob::TakeTerminal));
  EXPECT_TRUE(echo_is_on(job().master())) << "stopped with echo off";

  if (c.via_background) {
    ASSERT_TRUE(job().tell(ShellJob::Background));
    status = job().await_change();
    ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTTIN) << "status " << status << ": " << job().screen;
    EXPECT_TRUE(echo_is_on(job().master())) << "a job behind the shell took its echo";
  }

  const std::size_t first_prompt = job().screen.find("Enrollment key: ");
  ASSERT_TRUE(job().tell(ShellJob::Foreground));
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
