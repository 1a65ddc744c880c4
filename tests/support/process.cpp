#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <latch>
#include <thread>

#include "tests/support/pty.h"

extern char** environ;

namespace pellucor::test {

namespace {

using Clock = std::chrono::steady_clock;

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    reset(o.release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read, write;
};

bool make_pipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  p.read.reset(fds[0]);
  p.write.reset(fds[1]);
  return true;
}

// A pseudo-terminal pair with output processing off, so the bytes the
// program writes arrive unchanged (no \n -> \r\n).
bool make_terminal(Fd& master, Fd& slave) {
  PseudoTerminal pair;
  if (pair.master() < 0) return false;
  master.reset(pair.release_master());
  slave.reset(::open(pair.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!slave) return false;
  termios t{};
  if (::tcgetattr(slave.get(), &t) != 0) return false;
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  return ::tcsetattr(slave.get(), TCSANOW, &t) == 0;
}


std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  out.reserve(texts.size() + 1);
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Reads what is available; returns false at end of stream (EIO counts as
// end: a terminal's master reports it once the last slave is closed).
bool drain(int fd, std::string& into) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
}

// Reads nothing from the pipe `out` until it holds as much as it can take,
// the program `pid` has ended (it is left for waitpid to collect) or
// `deadline` has passed; stderr is collected meanwhile, so that the program
// cannot be held up there instead.
void wait_for_full_pipe(int out, Fd& err, std::string& err_text, pid_t pid, Clock::time_point deadline) {
  const int capacity = ::fcntl(out, F_GETPIPE_SZ);
  while (Clock::now() < deadline) {
    int queued = 0;
    if (capacity <= 0 || ::ioctl(out, FIONREAD, &queued) != 0 || queued >= capacity) return;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid) return;
    if (err) {
      pollfd p{err.get(), POLLIN, 0};
      if (::poll(&p, 1, 10) > 0 && !drain(err.get(), err_text)) err.reset();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

}  // namespace

std::vector<std::string> child_environment(const RunOptions& o) {
  std::map<std::string, std::string> vars;
  if (!o.clear_env) {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      std::string entry(*e);
      const std::size_t eq = entry.find('=');
      if (eq == std::string::npos) continue;
      vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
  }
  for (const auto& [name, value] : o.env) {
    if (value) {
      vars[name] = *value;
    } else {
      vars.erase(name);
    }
  }
  std::vector<std::string> out;
  out.reserve(vars.size());
  for (const auto& [name, value] : vars) out.push_back(name + "=" + value);
  return out;
}

RunResult run_process(const RunOptions& o) {
  RunResult result;
  // Writing to the stdin of a program that has ended must fail, not kill the test.
  ::signal(SIGPIPE, SIG_IGN);

  Pipe in, out, err;
  Fd tty_master, tty_slave;
  bool ok = make_pipe(err);
  if (!o.close_stdin) ok = ok && make_pipe(in);
  switch (o.stdout_mode) {
    case StdoutMode::Pipe:
    case StdoutMode::BrokenPipe:
    case StdoutMode::NonBlockingPipe:
      ok = ok && make_pipe(out);
      break;
    case StdoutMode::Terminal:
      ok = ok && make_terminal(tty_master, tty_slave);
      break;
    case StdoutMode::Closed:
    case StdoutMode::Full:
      break;
  }
  if (!ok) {
    result.exit_code = 127;
    result.err = std::string("cannot set up the streams: ") + std::strerror(errno);
    return result;
  }
  if (o.stdout_mode == StdoutMode::BrokenPipe) out.read.reset();
  if (o.stdout_mode == StdoutMode::NonBlockingPipe) set_nonblocking(out.write.get());
  if (o.stderr_mode == StderrMode::BrokenPipe) err.read.reset();

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (o.close_stdin) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
  }
  switch (o.stdout_mode) {
    case StdoutMode::Pipe:
    case StdoutMode::BrokenPipe:
    case StdoutMode::NonBlockingPipe:
      posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
      break;
    case StdoutMode::Terminal:
      posix_spawn_file_actions_adddup2(&actions, tty_slave.get(), 1);
      break;
    case StdoutMode::Closed:
      posix_spawn_file_actions_addclose(&actions, 1);
      break;
    case StdoutMode::Full:
      posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
      break;
  }
  if (o.close_stderr) {
    posix_spawn_file_actions_addclose(&actions, 2);
  } else if (o.stderr_mode == StderrMode::Full) {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/full", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
  }
  if (o.cwd) posix_spawn_file_actions_addchdir_np(&actions, o.cwd->c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so a timeout kills whatever it started as well;
  // default signal handling, whatever the test process ignores.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> argv_texts;
  argv_texts.push_back(o.argv0.value_or(o.program));
  argv_texts.insert(argv_texts.end(), o.args.begin(), o.args.end());
  std::vector<std::string> env_texts = child_environment(o);
  std::vector<char*> argv = pointers(argv_texts);
  std::vector<char*> envp = pointers(env_texts);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, o.program.c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  // The child holds its own copies now.
  in.read.reset();
  out.write.reset();
  err.write.reset();
  tty_slave.reset();
  if (rc != 0) {
    result.exit_code = 127;
    result.err = "cannot start " + o.program + ": " + std::strerror(rc);
    return result;
  }

  const Clock::time_point deadline = Clock::now() + o.timeout;
  std::size_t stdin_done = 0;
  if (in.write) {
    if (o.stdin_data.empty()) {
      in.write.reset();
    } else {
      set_nonblocking(in.write.get());
    }
  }
  Fd& out_read = o.stdout_mode == StdoutMode::Terminal ? tty_master : out.read;
  if (out_read) set_nonblocking(out_read.get());
  if (err.read) set_nonblocking(err.read.get());

  auto kill_group = [&] {
    ::kill(-pid, SIGKILL);
    result.timed_out = true;
  };

  if (o.stdout_mode == StdoutMode::NonBlockingPipe) {
    wait_for_full_pipe(out_read.get(), err.read, result.err, pid, deadline);
  }

  while (in.write || out_read || err.read) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      kill_group();
      break;
    }
    pollfd fds[3];
    nfds_t n = 0;
    int in_slot = -1, out_slot = -1, err_slot = -1;
    if (in.write) {
      in_slot = static_cast<int>(n);
      fds[n++] = {in.write.get(), POLLOUT, 0};
    }
    if (out_read) {
      out_slot = static_cast<int>(n);
      fds[n++] = {out_read.get(), POLLIN, 0};
    }
    if (err.read) {
      err_slot = static_cast<int>(n);
      fds[n++] = {err.read.get(), POLLIN, 0};
    }
    const int ready = ::poll(fds, n, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    if (in_slot >= 0 && fds[in_slot].revents != 0) {
      const ssize_t w = ::write(in.write.get(), o.stdin_data.data() + stdin_done,
                                o.stdin_data.size() - stdin_done);
      if (w > 0) stdin_done += static_cast<std::size_t>(w);
      if ((w < 0 && errno != EAGAIN && errno != EINTR) || stdin_done == o.stdin_data.size()) {
        in.write.reset();
      }
    }
    if (out_slot >= 0 && fds[out_slot].revents != 0 && !drain(out_read.get(), result.out)) {
      out_read.reset();
    }
    if (err_slot >= 0 && fds[err_slot].revents != 0 && !drain(err.read.get(), result.err)) {
      err.read.reset();
    }
  }
  in.write.reset();

  int status = 0;
  for (;;) {
    const pid_t w = ::waitpid(pid, &status, result.timed_out ? 0 : WNOHANG);
    if (w == pid) break;
    if (w < 0 && errno != EINTR) {
      status = 0;
      break;
    }
    if (Clock::now() >= deadline) {
      kill_group();
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
    result.core_dumped = WCOREDUMP(status);
  }
  return result;
}

std::vector<RunResult> run_processes_together(const std::vector<RunOptions>& options) {
  std::vector<RunResult> results(options.size());
  std::latch start(static_cast<std::ptrdiff_t>(options.size()));
  std::vector<std::thread> threads;
  threads.reserve(options.size());
  for (std::size_t i = 0; i < options.size(); ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[i] = run_process(options[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  return results;
}

bool prlimit_available() { return ::access(kPrlimitPath, X_OK) == 0; }

RunOptions under_prlimit(RunOptions options, const std::vector<std::string>& limits) {
  std::vector<std::string> args = limits;
  args.push_back("--");
  args.push_back(options.program);
  args.insert(args.end(), options.args.begin(), options.args.end());
  options.args = std::move(args);
  options.program = kPrlimitPath;
  return options;
}

RunOptions without_dac_override(RunOptions options) {
  options.args.insert(options.args.begin(), options.program);
  options.program = PELLUCOR_WITHOUT_DAC_OVERRIDE_PATH;
  return options;
}

}  // namespace pellucor::test
