#include "gate/local_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

std::size_t longest_path_bytes() {
  long limit = ::pathconf("/", _PC_PATH_MAX);
  if (limit <= 1) limit = PATH_MAX;
  return static_cast<std::size_t>(limit) - 1;
}

namespace {

constexpr int kFolderLookup = O_PATH | O_DIRECTORY | O_CLOEXEC;

// make_private_folder makes the folder `name` in the folder open as `parent`
// and gives it mode 0700. The mode is set by name under the parent, never
// through a descriptor of the new folder: a umask that takes the owner's read
// bit (0477 leaves 0300) would keep that folder from being opened for
// reading. No link is followed, should the name have been swapped for one.
int make_private_folder(int parent, const char* name) {
  if (::mkdirat(parent, name, 0700) != 0) return errno;
  if (::fchmodat(parent, name, 0700, AT_SYMLINK_NOFOLLOW) == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOTSUP) return errno;
  // Either a link is there now, or the C library cannot change a mode
  // without following links (it needs /proc for that): a name that is still
  // a folder, and not a link, has its mode set the plain way.
  struct stat st {};
  if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ELOOP;
  return ::fchmodat(parent, name, 0700, 0) == 0 ? 0 : errno;
}

}  // namespace

int create_private_folders(const std::string& path) {
  if (path.empty()) return 0;
  if (path.size() > longest_path_bytes()) return ENAMETOOLONG;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : EEXIST;

  FileDescriptor here(::open(path[0] == '/' ? "/" : ".", kFolderLookup));
  if (here.get() < 0) return errno;
  std::string name;
  for (std::size_t i = 0; i < path.size();) {
    std::size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    name.assign(path, i, end - i);
    i = end + 1;
    if (name.empty() || name == ".") continue;
    int next = ::openat(here.get(), name.c_str(), kFolderLookup);
    if (next < 0 && errno == ENOENT) {
      const int made = make_private_folder(here.get(), name.c_str());
      // EEXIST: made by someone else in the meantime, as good as made here
      // (a dangling link there stays in the way). A folder made here is
      // entered without following a link put in its place.
      if (made != 0 && made != EEXIST) return made;
      if (made == 0) {
        next = ::openat(here.get(), name.c_str(), kFolderLookup | O_NOFOLLOW);
        if (next < 0) return errno == ENOTDIR ? ELOOP : errno;
      } else {
        next = ::openat(here.get(), name.c_str(), kFolderLookup);
        if (next < 0) return EEXIST;
      }
    }
    if (next < 0) return errno == ENOTDIR ? EEXIST : errno;
    here = FileDescriptor(next);
  }
  return 0;
}

}  // namespace pellucor
