#include <cstdio>

#include "cli/cli_main.h"

int main(int argc, char** argv) {
  pellucor::prepare_process();
  const int status = pellucor::cli_main(argc, argv);
  std::fflush(stdout);
  return status;
}
