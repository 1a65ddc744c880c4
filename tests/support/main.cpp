// pellucor-test-gate: the local test gate as a program, for end-to-end tests
// and the demo.
//
//   pellucor-test-gate --dir DIR [--port N] [--fault MODE] [--enrol] [--seed-demo]
//
// Writes DIR/ca.pem (the CA to trust through SSL_CERT_FILE), DIR/url (the
// vault URL, one line) and DIR/channel_key (the node key to pin, 2498 hex
// digits and a newline; fresh for every start), prints the vault URL on stdout, and serves until it
// is killed or its standard input closes.
//
// With --enrol or --seed-demo an in-memory vault answers behind the gate.
// --enrol makes one agent of that vault and writes DIR/enrolment (the blob on
// the first line, the key on the second: what `pellucor-cli init` reads from
// a pipe) last, so its presence means the gate is serving; the vault then
// accepts only that agent's credential. --seed-demo stores a few entries.
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
#include "tests/support/enrolment.h"
#include "tests/support/test_gate.h"
#include "tests/support/test_vault.h"

namespace {

int usage() {
  std::fputs(
      "usage: pellucor-test-gate --dir DIR [--port N] [--fault MODE] [--enrol] [--seed-demo]\n"
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
  bool enrol = false;
  bool seed_demo = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--enrol" || a == "--seed-demo") {
      (a == "--enrol" ? enrol : seed_demo) = true;
      continue;
    }
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
    pellucor::testing::EnrolledAgent agent =
        pellucor::testing::make_agent("127.0.0.1", keys->channel_key_hex());
    std::unique_ptr<pellucor::testing::TestVault> vault;
    if (enrol || seed_demo) {
      vault = std::make_unique<pellucor::testing::TestVault>(agent.l2);
      if (seed_demo) pellucor::testing::seed_demo_entries(*vault);
      options.vault = vault->handler();
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
    if (enrol) {
      agent.pop = "127.0.0.1:" + std::to_string(gate.port());
      vault->set_credential_check([agent](const std::string& cred) -> std::optional<std::string> {
        auto checked = pellucor::testing::check_wire_credential(cred, agent);
        if (checked) return std::nullopt;
        return checked.error();
      });
      const auto enrolment = pellucor::testing::mint_enrolment(agent);
      const auto tmp = dir / ".enrolment.tmp";
      {
        std::ofstream f(tmp, std::ios::trunc);
        f << enrolment.blob << "\n" << enrolment.key << "\n";
        if (!f) {
          std::fprintf(stderr, "pellucor-test-gate: cannot write %s\n", tmp.c_str());
          return 1;
        }
      }
      std::filesystem::permissions(tmp, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
      std::filesystem::rename(tmp, dir / "enrolment");
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
