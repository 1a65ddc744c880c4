// Files and folders of the user's own that the program opens or creates: the
// configuration, its lock, the skill document, the trust store's certificate
// files.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <expected>
#include <string>
#include <utility>

namespace pellucor {

// A descriptor closed when it goes out of scope (which also releases a lock
// taken through it).
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& o) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  int get() const { return fd_; }
  // release hands the descriptor over; this object no longer closes it.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

struct OpenedFile {
  FileDescriptor fd;
  struct stat status {};  // of the opened file
};

// What stopped open_regular_file, for the caller to word in its own message.
struct FileRefusal {
  enum class Step {
    Open,        // open() failed: `error`
    Status,      // fstat() of the opened file failed: `error`
    NotRegular,  // a FIFO, device, folder or socket was opened: `status`
    Blocking,    // the descriptor could not be made blocking again: `error`
  };
  Step step = Step::Open;
  int error = 0;
  struct stat status {};
};

// open_regular_file opens `path` with `flags` (and `mode` when they create
// it), always adding O_NONBLOCK and O_CLOEXEC, and keeps the descriptor only
// when it names a regular file; it is then made blocking again. Without
// O_NONBLOCK a FIFO with no writer (or, for writing, no reader) would hang
// the open itself, before any check could refuse it; a regular file ignores
// the flag, so it costs nothing.
std::expected<OpenedFile, FileRefusal> open_regular_file(const std::string& path, int flags, mode_t mode = 0);

// longest_path_bytes: the most bytes a path handed to the system may have
// (its path limit, less the terminating zero).
std::size_t longest_path_bytes();

// create_private_folders creates `path` and every missing ancestor, each one
// with mode 0700 whatever the umask (it could only take bits away, and a
// umask of 0 must not leave them open to all, nor one that takes the owner's
// own read bit leave them unreadable); existing folders are left as they
// are, links among them followed. The folders are walked one at a time from
// the top, each under a descriptor of the one above it, so the memory and
// stack it takes do not grow with the number of components. A path longer
// than longest_path_bytes() is refused (ENAMETOOLONG) before anything is
// made. Returns 0, or the errno of the step that failed (EEXIST when
// something other than a folder is in the way).
int create_private_folders(const std::string& path);

}  // namespace pellucor
