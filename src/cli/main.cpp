#include <cstdio>
#include <new>

#include "cli/cli_main.h"
#include "cli/fault.h"

int main(int argc, char** argv) {
  pellucor::prepare_process();
  int status = 1;
  try {
    status = pellucor::cli_main(argc, argv);
  } catch (const std::bad_alloc&) {
    // Caught here rather than left to the fault handler, so that the stack
    // unwinds and the wiping buffers on it are wiped on the way.
    pellucor::report_out_of_memory();
  }
  std::fflush(stdout);
  return status;
}
