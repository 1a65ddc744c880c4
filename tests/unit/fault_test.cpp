#include "cli/fault.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <thread>

// This program's operator new can be told to fail every allocation from some
// point on, as when the machine has run out of memory. Only death tests'
// children turn it on.
namespace {
std::atomic<bool> g_allocations_fail{false};
}  // namespace

// GCC sees through to malloc and free and takes the pair for a mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (g_allocations_fail.load()) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace pellucor {
namespace {

TEST(BrokenPipeMessage, NeedsAPrintFailureAndAPipeMarker) {
  struct Case {
    const char* text;
    bool broken_pipe;
  };
  const Case cases[] = {
      {"failed printing to stdout: Broken pipe (os error 32)", true},
      {"failed printing to stderr: Broken pipe (os error 32)", true},
      {"failed printing to stdout: broken pipe", true},
      {"failed printing to stdout: os error 109", true},
      {"failed printing to stderr: The pipe is being closed.", true},
      {"failed printing to stdout: No space left on device (os error 28)", false},
      {"Broken pipe (os error 32)", false},
      {"failed printing to a file: Broken pipe", false},
      {"Failed printing to stdout: Broken pipe", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_broken_pipe_message(c.text), c.broken_pipe) << c.text;
  }
}

TEST(FaultDeathTest, BrokenInvariantAbortsWithMessageAndLocation) {
  EXPECT_DEATH(fault("the entry list was empty"),
               "internal fault at [^\n]*fault_test.cpp:[0-9]+:[0-9]+:\nthe entry list was empty");
}

TEST(FaultDeathTest, BrokenPipeFaultEndsQuietly) {
  EXPECT_EXIT(fault("failed printing to stdout: Broken pipe (os error 32)"),
              testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(output_fault(2, "failed printing to stderr: Broken pipe (os error 32)"),
              testing::ExitedWithCode(0), "^$");
}

// Once the run has failed, the quiet end of a broken pipe keeps its status.
TEST(FaultDeathTest, BrokenPipeAfterAFailureKeepsStatusOne) {
  EXPECT_EXIT(
      {
        mark_run_failed();
        fault("failed printing to stdout: Broken pipe (os error 32)");
      },
      testing::ExitedWithCode(1), "^$");
  EXPECT_EXIT(
      {
        mark_run_failed();
        output_fault(2, "failed printing to stderr: Broken pipe (os error 32)");
      },
      testing::ExitedWithCode(1), "^$");
}

// A failed stdout write is one error line like any failure; a failed stderr
// write cannot be reported, and still ends with status 1.
TEST(FaultDeathTest, OtherOutputFaultStopsWithStatusOne) {
  EXPECT_EXIT(
      {
        ::setenv("NO_COLOR", "1", 1);
        output_fault(1, "failed printing to stdout: Input/output error (os error 5)");
      },
      testing::ExitedWithCode(1), "^PL-2000: failed printing to stdout: Input/output error \\(os error 5\\)\n$");
  EXPECT_EXIT(output_fault(2, "failed printing to stderr: No space left on device (os error 28)"),
              testing::ExitedWithCode(1), "^$");
}

TEST(FaultDeathTest, UncaughtExceptionIsReported) {
  EXPECT_DEATH(
      {
        install_fault_handler();
        // An exception that escapes a thread's function ends in std::terminate.
        std::thread([] { throw std::runtime_error("json went wrong"); }).join();
      },
      "uncaught exception: json went wrong");
}

// An allocation failure is no broken invariant: it must not abort (and dump
// a core holding secrets), but end like any failure, one line and status 1.
TEST(FaultDeathTest, UncaughtAllocationFailureIsOneErrorLine) {
  EXPECT_EXIT(
      {
        ::setenv("NO_COLOR", "1", 1);
        install_fault_handler();
        std::thread([] { throw std::bad_alloc(); }).join();
      },
      testing::ExitedWithCode(1), "^PL-2110: out of memory\n$");
}

// Once memory has run out nothing more can be allocated, not by the fault
// handler either; and an allocation that fails in a destructor leaves a
// noexcept function, which ends in std::terminate with no unwinding. Both
// still end as the one error line.
TEST(FaultDeathTest, AllocationFailureWhenNothingMoreCanBeAllocated) {
  struct Case {
    const char* name;
    void (*escape)();
  };
  // From here on nothing can be allocated, and the failure is thrown.
  static void (*const run_out)() = [] {
    g_allocations_fail = true;
    throw std::bad_alloc();
  };
  const Case cases[] = {
      {"escaping a thread", [] { std::thread([] { run_out(); }).join(); }},
      {"escaping a destructor", [] {
         struct FreesWithATemporary {
           ~FreesWithATemporary() { run_out(); }
         };
         FreesWithATemporary held;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          ::setenv("NO_COLOR", "1", 1);
          install_fault_handler();
          c.escape();
        },
        testing::ExitedWithCode(1), "^PL-2110: out of memory\n$");
  }
}

}  // namespace
}  // namespace pellucor
