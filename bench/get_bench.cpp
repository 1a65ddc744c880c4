// The typical road as a user meets it: the whole `pellucor-cli get "<title>"
// --field password` process (start, configuration, two gate calls with their
// handshakes, decryption, output) against the local test gate. Reports the
// median wall time, the median CPU time (user + system, less sensitive to a
// busy machine) and the peak resident set of the child processes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/enrolment.h"
#include "tests/support/noise_responder.h"
#include "tests/support/test_gate.h"
#include "tests/support/test_vault.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace pellucor::testing;

struct ChildRun {
  double wall_ms = 0;
  double cpu_ms = 0;  // user + system time of the child
  long max_rss_kb = 0;
  int status = -1;
};

// Runs the CLI with `args`, stdin from `stdin_path`, stdout and stderr to
// /dev/null, and returns its wall time and peak resident set.
ChildRun run_cli(const std::vector<std::string>& args, const std::string& stdin_path) {
  std::vector<char*> argv;
  std::string program = PELLUCOR_CLI_PATH;
  argv.push_back(program.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid = 0;
  ChildRun run;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
    struct rusage usage {};
    int status = 0;
    if (::wait4(pid, &status, 0, &usage) == pid) {
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      run.max_rss_kb = usage.ru_maxrss;
      auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
      run.cpu_ms = ms(usage.ru_utime) + ms(usage.ru_stime);
    }
  }
  run.wall_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  posix_spawn_file_actions_destroy(&actions);
  return run;
}

// One node key pair for the whole program: drawing ML-KEM keys is not free.
std::shared_ptr<const NodeKeyPair> node_keys() {
  static const std::shared_ptr<const NodeKeyPair> node = [] {
    auto pair = generate_node_key_pair();
    if (!pair) std::abort();
    return std::make_shared<const NodeKeyPair>(std::move(*pair));
  }();
  return node;
}

// An agent enrolled in a temporary HOME against an in-process gate holding
// one credential entry.
struct Setup {
  fs::path home;
  std::unique_ptr<TestVault> vault;
  std::unique_ptr<TestGate> gate;
  bool ok = false;

  Setup() {
    char tmpl[] = "/tmp/pellucor-get-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return;
    home = tmpl;
    const std::string ca = TestGate::write_ca_file(home).string();
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("SSL_CERT_FILE", ca.c_str(), 1);
    ::setenv("NO_COLOR", "1", 1);
    for (const char* p : {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"})
      ::unsetenv(p);

    auto node = node_keys();
    EnrolledAgent agent = make_agent("127.0.0.1", node->channel_key_hex());
    vault = std::make_unique<TestVault>(agent.l2);
    SeedEntry entry;
    entry.title = "GitHub";
    entry.fields = {{"username", "octocat"}, {"password", "correct horse battery staple", "password", 2}};
    vault->add_entry(entry);
    TestGateOptions options;
    options.responder = noise_responder(node);
    options.vault = vault->handler();
    options.trust_in_process = false;
    gate = std::make_unique<TestGate>(std::move(options));
    agent.pop = "127.0.0.1:" + std::to_string(gate->port());

    const Enrolment enrolment = mint_enrolment(agent);
    const fs::path input = home / "enrolment";
    if (FILE* f = std::fopen(input.c_str(), "w")) {
      std::fprintf(f, "%s\n%s\n", enrolment.blob.c_str(), enrolment.key.c_str());
      std::fclose(f);
    }
    ok = run_cli({"init"}, input.string()).status == 0;
  }
  ~Setup() {
    gate.reset();
    if (!home.empty()) fs::remove_all(home);
  }
};

void BM_GetFieldProcess(benchmark::State& state) {
  Setup setup;
  if (!setup.ok) {
    state.SkipWithError("enrolment failed");
    return;
  }
  std::vector<double> walls;
  std::vector<double> cpus;
  long peak_rss_kb = 0;
  for (auto _ : state) {
    ChildRun run = run_cli({"get", "GitHub", "--field", "password"}, "/dev/null");
    if (run.status != 0) {
      state.SkipWithError("get failed");
      return;
    }
    walls.push_back(run.wall_ms);
    cpus.push_back(run.cpu_ms);
    peak_rss_kb = std::max(peak_rss_kb, run.max_rss_kb);
  }
  auto median = [](std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
  };
  state.counters["median_ms"] = median(walls);
  state.counters["median_cpu_ms"] = median(cpus);
  state.counters["peak_rss_kB"] = static_cast<double>(peak_rss_kb);
}
BENCHMARK(BM_GetFieldProcess)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(200);

}  // namespace
