// Writing a whole buffer to a descriptor, whatever kind of file it names.
#pragma once

#include <cstddef>
#include <string_view>

namespace pellucor {

// write_fully writes all `size` bytes at `data` to `fd`, going on after a
// short write, after a signal (EINTR), and after EAGAIN or EWOULDBLOCK:
// a descriptor in non-blocking mode (a pipe or terminal inherited with
// O_NONBLOCK, which this program did not choose and must not change for the
// processes it shares the file with) is waited for with poll until it takes
// more. Returns 0, or the errno of the write that failed (EIO for a write
// that took nothing).
//
// Async-signal-safe (only write and poll), so signal handlers use it too;
// it may change errno.
int write_fully(int fd, const void* data, std::size_t size) noexcept;

inline int write_fully(int fd, std::string_view bytes) noexcept {
  return write_fully(fd, bytes.data(), bytes.size());
}

}  // namespace pellucor
