// The trust store of a real gate call, built from the files the environment
// names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "tests/support/enrolled_cli.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;

class TrustFiles : public testing::EnrolledCli {};

// SSL_CERT_FILE naming a FIFO no one writes used to hang the command in its
// open, before the gate call's deadline had even started. The FIFO is skipped
// and the roots of SSL_CERT_DIR still serve the call.
TEST_F(TrustFiles, AFifoAsTheCertificateFileIsSkipped) {
  vault_->add_entry({"Reachable", "note"});
  const fs::path fifo = home_ / "fifo.pem";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path certs = home_ / "certs";
  fs::create_directory(certs);
  fs::copy_file(ca_file_, certs / "0123abcd.0");

  test::RunOptions o = options({"find", "Reachable"});
  o.env["SSL_CERT_FILE"] = fifo.string();
  o.env["SSL_CERT_DIR"] = certs.string();
  o.timeout = std::chrono::seconds(20);  // only stops a hang
  const test::RunResult r = test::run_process(o);
  EXPECT_FALSE(r.timed_out);
  EXPECT_TRUE(r.exited_with(0)) << r.err;
  EXPECT_EQ(r.out, "Reachable (note)\n");
}

}  // namespace
}  // namespace pellucor
