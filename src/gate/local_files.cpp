#include "gate/local_files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace pellucor {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<OpenedFile, FileRefusal> open_regular_file(const std::string& path, int flags, mode_t mode) {
  FileRefusal refusal;
  OpenedFile opened;
  opened.fd = FileDescriptor(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
  if (opened.fd.get() < 0) {
    refusal.error = errno;
    return std::unexpected(refusal);
  }
  if (::fstat(opened.fd.get(), &opened.status) != 0) {
    refusal.step = FileRefusal::Step::Status;
    refusal.error = errno;
    return std::unexpected(refusal);
  }
  if (!S_ISREG(opened.status.st_mode)) {
    refusal.step = FileRefusal::Step::NotRegular;
    refusal.status = opened.status;
    return std::unexpected(refusal);
  }
  const int now = ::fcntl(opened.fd.get(), F_GETFL);
  if (now < 0 || ::fcntl(opened.fd.get(), F_SETFL, now & ~O_NONBLOCK) != 0) {
    refusal.step = FileRefusal::Step::Blocking;
    refusal.error = errno;
    return std::unexpected(refusal);
  }
  return opened;
}

}  // namespace pellucor
