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

namespace {

// The folder `path` lies in: "/" for "/a", "a" for "a/b", "" for "a".
std::string parent_of(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  path.resize(slash);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

int create_private_folders(const std::string& path) {
  if (path.empty()) return 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;
  if (const std::string up = parent_of(path); !up.empty() && up != path) {
    if (const int e = create_private_folders(up); e != 0) return e;
  }
  if (::mkdir(path.c_str(), 0700) == 0) {
    const FileDescriptor made(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (made.get() < 0 || ::fchmod(made.get(), 0700) != 0) return errno;
    return 0;
  }
  const int e = errno;
  // Made by someone else in the meantime: as good as made here.
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
  return e;
}

}  // namespace pellucor
