// A replacement of the global operator new, loaded into a program under test
// with LD_PRELOAD, that makes allocations fail on purpose:
//
//   PELLUCOR_FAIL_NEW_AT=N      the N-th allocation (counted from 1) and every
//                               later one fail: std::bad_alloc, or a null
//                               pointer from the nothrow forms;
//   PELLUCOR_COUNT_NEW_FILE=P   at exit, the number of allocations made is
//                               written to the file P (as decimal text).
//
// Counting starts when main is entered, so the allocations of the loader and
// of static initialisers do not shift N. Only C++ operator new is replaced:
// malloc keeps working, for the C libraries and for the exception runtime.
// Never linked into a program; the tests preload it.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<unsigned long long> g_count{0};
unsigned long long g_fail_at = 0;  // 0: never fail
const char* g_count_file = nullptr;

// should_fail counts one allocation and says whether it must fail.
bool should_fail() {
  if (!g_counting.load(std::memory_order_relaxed)) return false;
  const unsigned long long n = g_count.fetch_add(1, std::memory_order_relaxed) + 1;
  return g_fail_at != 0 && n >= g_fail_at;
}

void* allocate(std::size_t size, std::size_t align) {
  if (size == 0) size = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(size);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return std::aligned_alloc(align, (size + align - 1) / align * align);
}

// The throwing forms behave like the library's: the new handler gets its
// chance before std::bad_alloc is thrown.
void* allocate_or_throw(std::size_t size, std::size_t align) {
  if (should_fail()) throw std::bad_alloc();
  for (;;) {
    if (void* p = allocate(size, align)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* allocate_or_null(std::size_t size, std::size_t align) noexcept {
  try {
    return allocate_or_throw(size, align);
  } catch (...) {
    return nullptr;
  }
}

using MainFn = int (*)(int, char**, char**);
MainFn g_real_main = nullptr;

int counting_main(int argc, char** argv, char** envp) {
  if (const char* at = std::getenv("PELLUCOR_FAIL_NEW_AT")) g_fail_at = std::strtoull(at, nullptr, 10);
  g_count_file = std::getenv("PELLUCOR_COUNT_NEW_FILE");
  g_counting.store(true);
  return g_real_main(argc, argv, envp);
}

// Written at exit (a program that ends through _exit writes nothing).
__attribute__((destructor)) void write_count() {
  if (g_count_file == nullptr) return;
  char text[32];
  const int len = std::snprintf(text, sizeof text, "%llu\n", g_count.load());
  const int fd = ::open(g_count_file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (::write(fd, text, static_cast<std::size_t>(len)) != len) std::abort();
  ::close(fd);
}

}  // namespace

// The C library's entry point calls main through here, so that counting
// starts with main.
extern "C" int __libc_start_main(MainFn main, int argc, char** argv, void (*init)(), void (*fini)(),
                                 void (*rtld_fini)(), void* stack_end) {
  using StartFn = int (*)(MainFn, int, char**, void (*)(), void (*)(), void (*)(), void*);
  auto real_start = reinterpret_cast<StartFn>(::dlsym(RTLD_NEXT, "__libc_start_main"));
  if (real_start == nullptr) std::abort();
  g_real_main = main;
  return real_start(counting_main, argc, argv, init, fini, rtld_fini, stack_end);
}

void* operator new(std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new[](std::size_t n) { return allocate_or_throw(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate_or_throw(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n, 0); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_or_null(n, static_cast<std::size_t>(a));
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
