#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

namespace pellucor::test {

using Clock = std::chrono::steady_clock;

PseudoTerminal::PseudoTerminal() {
  const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  const char* name = nullptr;
  if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || (name = ::ptsname(fd)) == nullptr) {
    ::close(fd);
    return;
  }
  master_ = fd;
  slave_path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) ::close(master_);
}

bool echo_is_on(int fd) {
  termios t{};
  return ::tcgetattr(fd, &t) == 0 && (t.c_lflag & ECHO) != 0;
}

namespace {

// One poll and read of at most `wait`; false when nothing could be read.
bool read_once(int fd, std::string& out, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return false;
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return false;
  }
  out.append(buf, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

std::string read_some(int fd, std::chrono::milliseconds wait) {
  std::string out;
  for (const auto end = Clock::now() + wait; Clock::now() < end;) {
    read_once(fd, out, std::chrono::milliseconds(10));
  }
  return out;
}

bool read_until(int fd, std::string& screen, std::string_view text, std::size_t from,
                std::chrono::milliseconds within) {
  for (const auto end = Clock::now() + within;;) {
    if (screen.find(text, from) != std::string::npos) return true;
    if (Clock::now() >= end) return false;
    read_once(fd, screen, std::chrono::milliseconds(5));
  }
}

}  // namespace pellucor::test
