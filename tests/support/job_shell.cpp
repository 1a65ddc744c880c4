#include "tests/support/job_shell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace pellucor::test {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What the forked shell needs, all of it made before the fork: the test
// process has threads, so the children call nothing but system calls until
// the program is executed.
struct ShellPlan {
  const char* slave = nullptr;
  const char* program = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* cwd = nullptr;  // or nullptr
  bool in_background = false;
  bool line_editing = false;
  int out = -1;
  int commands = -1;
  int answers = -1;
};

// A line editor's modes: it reads key by key, echoes itself, and takes
// Enter as the carriage return it is.
termios line_editing_modes(termios t) {
  t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  t.c_iflag &= ~static_cast<tcflag_t>(ICRNL | INLCR);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return t;
}

[[noreturn]] void run_shell(const ShellPlan& plan) {
  ::setsid();
  const int tty = ::open(plan.slave, O_RDWR);  // becomes the session's terminal
  if (tty < 0) ::_exit(120);
  ::ioctl(tty, TIOCSCTTY, 0);
  // A shell moves the terminal between groups while it is not in front.
  ::signal(SIGTTOU, SIG_IGN);
  termios user{};
  if (::tcgetattr(tty, &user) != 0) ::_exit(121);
  const termios editing = line_editing_modes(user);
  if (plan.line_editing && ::tcsetattr(tty, TCSANOW, &editing) != 0) ::_exit(121);
  const pid_t job = ::fork();
  if (job < 0) ::_exit(121);
  if (job == 0) {
    ::setpgid(0, 0);
    if (!plan.in_background) ::tcsetpgrp(tty, ::getpid());
    ::signal(SIGTTOU, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(tty, 0);
    ::dup2(tty, 2);
    ::dup2(plan.out, 1);
    ::close(tty);
    if (plan.cwd != nullptr && ::chdir(plan.cwd) != 0) ::_exit(122);
    // Cores allowed, so one written by a signal shows up in the cwd.
    rlimit core{};
    ::getrlimit(RLIMIT_CORE, &core);
    core.rlim_cur = core.rlim_max;
    ::setrlimit(RLIMIT_CORE, &core);
    ::execve(plan.program, plan.argv, plan.envp);
    ::_exit(127);
  }
  ::setpgid(job, job);
  if (!plan.in_background) ::tcsetpgrp(tty, job);
  int answer = job;
  if (::write(plan.answers, &answer, sizeof answer) != sizeof answer) ::_exit(123);
  for (char c = 0; ::read(plan.commands, &c, 1) == 1;) {
    answer = 0;
    switch (c) {
      case ShellJob::Wait:
        while (::waitpid(job, &answer, WUNTRACED) < 0 && errno == EINTR) {
        }
        break;
      case ShellJob::TakeTerminal:
        if (::tcsetpgrp(tty, ::getpgrp()) != 0) answer = errno;
        break;
      case ShellJob::Foreground:
        if (::tcsetpgrp(tty, job) != 0) answer = errno;
        ::kill(-job, SIGCONT);
        break;
      case ShellJob::Background: ::kill(-job, SIGCONT); break;
      case ShellJob::LineEditing:
        if (::tcsetattr(tty, TCSANOW, &editing) != 0) answer = errno;
        break;
      case ShellJob::UserModes:
        if (::tcsetattr(tty, TCSANOW, &user) != 0) answer = errno;
        break;
      default: answer = EINVAL; break;
    }
    if (::write(plan.answers, &answer, sizeof answer) != sizeof answer) ::_exit(124);
  }
  ::_exit(0);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

bool same_modes(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::string modes_text(const termios& t) {
  const auto bit = [](tcflag_t flags, tcflag_t b) { return (flags & b) != 0 ? "1" : "0"; };
  return std::string("ECHO=") + bit(t.c_lflag, ECHO) + " ICANON=" + bit(t.c_lflag, ICANON) +
         " ICRNL=" + bit(t.c_iflag, ICRNL) + " ISIG=" + bit(t.c_lflag, ISIG);
}

ShellJob::ShellJob(const JobOptions& options) {
  if (tty_.master() < 0 || ::tcgetattr(tty_.master(), &user_modes_) != 0) return;
  int out[2], commands[2], answers[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(commands, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  if (::pipe2(answers, O_CLOEXEC) != 0) {
    for (int fd : {out[0], out[1], commands[0], commands[1]}) ::close(fd);
    return;
  }
  const RunOptions& run = options.run;
  std::vector<std::string> args{run.argv0.value_or(run.program)};
  args.insert(args.end(), run.args.begin(), run.args.end());
  std::vector<std::string> env = child_environment(run);
  const std::vector<char*> argv = pointers(args);
  const std::vector<char*> envp = pointers(env);
  const std::string slave = tty_.slave_path();

  ShellPlan plan;
  plan.slave = slave.c_str();
  plan.program = run.program.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.cwd = run.cwd ? run.cwd->c_str() : nullptr;
  plan.in_background = options.in_background;
  plan.line_editing = options.shell_line_editing;
  plan.out = out[1];
  plan.commands = commands[0];
  plan.answers = answers[1];
  shell_ = ::fork();
  if (shell_ == 0) run_shell(plan);
  ::close(out[1]);
  ::close(commands[0]);
  ::close(answers[1]);
  out_ = out[0];
  commands_ = commands[1];
  answers_ = answers[0];
  if (shell_ > 0) {
    if (auto pid = answer()) job_ = *pid;
  }
}

ShellJob::~ShellJob() {
  if (job_ > 0 && !ended_) {
    ::kill(-job_, SIGKILL);
    ::kill(job_, SIGKILL);
  }
  for (int fd : {out_, commands_, answers_}) {
    if (fd >= 0) ::close(fd);
  }
  if (shell_ > 0) {
    ::kill(shell_, SIGKILL);
    ::waitpid(shell_, nullptr, 0);
  }
}

termios ShellJob::modes() const {
  termios t{};
  EXPECT_EQ(::tcgetattr(master(), &t), 0);
  return t;
}

std::optional<int> ShellJob::tell(Command command) {
  const char c = command;
  if (::write(commands_, &c, 1) != 1) return std::nullopt;
  return answer();
}

int ShellJob::await_change() {
  const auto status = tell(Wait);
  if (!status) {
    ADD_FAILURE() << "the job neither stopped nor ended: " << screen;
    return 0;
  }
  if (WIFEXITED(*status) || WIFSIGNALED(*status)) {
    ended_ = true;
    screen += read_some(master(), 100ms);
  }
  return *status;
}

bool ShellJob::await_echo(bool on) {
  for (const auto end = Clock::now() + 5s; Clock::now() < end && echo_is_on(master()) != on;) {
    std::this_thread::sleep_for(5ms);
  }
  return echo_is_on(master()) == on;
}

bool ShellJob::await_screen(std::string_view text, std::size_t from) {
  // Generous: under the sanitizers on a loaded machine the job can take
  // seconds to start; a passing run leaves early.
  return read_until(master(), screen, text, from, 20s);
}

void ShellJob::type(std::string_view text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(master(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      screen += read_some(master(), 5ms);
      continue;
    }
    ASSERT_GT(n, 0) << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
}

std::string ShellJob::stdout_text() { return read_some(out_, 200ms); }

// One int from the shell, collecting the terminal's output meanwhile.
std::optional<int> ShellJob::answer() {
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

}  // namespace pellucor::test
