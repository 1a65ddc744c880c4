#include "gate/write_fully.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace pellucor {

namespace {

// Blocks until `fd` can take more bytes. Returns 0, or the errno of a poll
// that failed. An error or hang-up on the descriptor also ends the wait: the
// next write then reports the error itself.
int wait_until_writable(int fd) noexcept {
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, -1);
    if (ready > 0) return (p.revents & POLLNVAL) != 0 ? EBADF : 0;
    if (ready < 0 && errno != EINTR) return errno;
  }
}

}  // namespace

int write_fully(int fd, const void* data, std::size_t size) noexcept {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, next, size);
    if (n > 0) {
      next += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return EIO;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) {
      if (const int failed = wait_until_writable(fd); failed != 0) return failed;
      continue;
    }
    return error;
  }
  return 0;
}

}  // namespace pellucor
