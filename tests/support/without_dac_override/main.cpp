// pellucor-test-without-dac-override: runs a program the way a user without
// root's override of file modes would, even when the tests run as root.
//
//   pellucor-test-without-dac-override PROGRAM [ARG...]
//
// Takes CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH out of the bounding set (so
// that the exec cannot give them back to root), the ambient set and its own
// sets, then executes PROGRAM. When the capabilities cannot be dropped for
// good, it ends with status 126 instead of running PROGRAM with them.
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kDropped[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};

int fail(const char* step) {
  std::fprintf(stderr, "pellucor-test-without-dac-override: %s: %s\n", step, std::strerror(errno));
  return 126;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pellucor-test-without-dac-override PROGRAM [ARG...]\n");
    return 126;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return fail("capget");
  for (const int cap : kDropped) {
    // Lowering needs no privilege; a kernel without ambient sets has none to lower.
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_LOWER, cap, 0, 0) != 0 && errno != EINVAL) {
      return fail("lowering an ambient capability");
    }
    // Needs CAP_SETPCAP; without it (not root) the exec gives no capability
    // anyway, as long as the process holds none itself.
    if (::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) == 1 && ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 &&
        ::geteuid() == 0) {
      return fail("dropping a capability from the bounding set");
    }
    const unsigned bit = 1u << (cap % 32);
    data[cap / 32].effective &= ~bit;
    data[cap / 32].permitted &= ~bit;
    data[cap / 32].inheritable &= ~bit;
  }
  if (::syscall(SYS_capset, &header, data) != 0) return fail("capset");
  ::execvp(argv[1], argv + 1);
  return fail(argv[1]);
}
