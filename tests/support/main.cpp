// pellucor-test-gate: the local test gate as a program, for end-to-end tests
// and the demo.
//
//   pellucor-test-gate --dir DIR [--port N] [--fault MODE]
//
// Writes DIR/ca.pem (the CA to trust through SSL_CERT_FILE), DIR/url (the
// vault URL, one line) and DIR/channel_key (the node key to pin, 2498 hex
// digits and a newline; fresh for every start), prints the vault URL on stdout, and serves until it
// is killed or its standard input closes.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/noise_responder.h"
#include "tests/support/test_gate.h"

namespace {

int usage() {
  std::fputs(
      "usage: pellucor-test-gate --dir DIR [--port N] [--fault MODE]\n"
      "  MODE: none, status:CODE, gate-error:MESSAGE, not-base64, unpadded, newline, not-utf8, truncated,\n"
      "        body:BYTES, wrong-handshake, wrong-marker, delay:MS, stall:MS, gzip, close\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using pellucor::testing::TestGate;
  using pellucor::testing::TestGateOptions;
  TestGateOptions options;
  options.trust_in_process = false;
  std::filesystem::path dir;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    std::string v = argv[++i];
    if (a == "--dir") {
      dir = v;
    } else if (a == "--port") {
      char* end = nullptr;
      long p = std::strtol(v.c_str(), &end, 10);
      if (*end != '\0' || p < 0 || p > 65535) return usage();
      options.port = static_cast<int>(p);
    } else if (a == "--fault") {
      auto f = pellucor::testing::parse_fault(v);
      if (!f) return usage();
      options.fault = *f;
    } else {
      return usage();
    }
  }
  if (dir.empty()) return usage();
  try {
    std::filesystem::create_directories(dir);
    auto node = pellucor::testing::generate_node_key_pair();
    if (!node) {
      std::fprintf(stderr, "pellucor-test-gate: cannot make a node key pair\n");
      return 1;
    }
    auto keys = std::make_shared<const pellucor::testing::NodeKeyPair>(std::move(*node));
    options.responder = pellucor::testing::noise_responder(keys);
    {
      std::ofstream key(dir / "channel_key", std::ios::trunc);
      key << keys->channel_key_hex() << "\n";
      if (!key) {
        std::fprintf(stderr, "pellucor-test-gate: cannot write %s\n", (dir / "channel_key").c_str());
        return 1;
      }
    }
    TestGate gate(std::move(options));
    TestGate::write_ca_file(dir);
    {
      std::ofstream url(dir / "url", std::ios::trunc);
      url << gate.vault_url() << "\n";
      if (!url) {
        std::fprintf(stderr, "pellucor-test-gate: cannot write %s\n", (dir / "url").c_str());
        return 1;
      }
    }
    std::printf("%s\n", gate.vault_url().c_str());
    std::fflush(stdout);
    // Serve until stdin reaches its end when it is a pipe or a terminal (the
    // parent closed it or died); otherwise (/dev/null, a file) until killed.
    struct stat st {};
    if (::fstat(0, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || ::isatty(0))) {
      char buf[256];
      while (::read(0, buf, sizeof buf) > 0) {
      }
    } else {
      for (;;) ::pause();
    }
    gate.stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pellucor-test-gate: %s\n", e.what());
    return 1;
  }
  return 0;
}
