// Secrets typed at a terminal for the options that read standard input
// ("-" and --json): nothing typed is shown, the input still ends at end of
// input (Ctrl-D), what was typed reaches the vault sealed, and the terminal
// gets its echo back on every way out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <memory>
#include <string>
#include <vector>

#include "crypto/field_keys.h"
#include "tests/support/enrolled_cli.h"
#include "tests/support/job_shell.h"

namespace pellucor {
namespace {

using nlohmann::json;
using test::ShellJob;

class SecretAtATerminal : public testing::EnrolledCli {
 protected:
  // Runs pellucor-cli with `args` as the foreground job of a shell on a
  // fresh terminal; false when it could not start.
  bool start(std::vector<std::string> args) {
    job_.reset();
    test::JobOptions o;
    o.run = options(std::move(args));
    o.run.cwd = home_.string();  // where a core, if one were written, would show
    job_ = std::make_unique<ShellJob>(o);
    return job_->started();
  }
  ShellJob& job() { return *job_; }

  // The plaintext of the tier-2 field `label` of the last "entry.upsert".
  std::string sent_secret(const std::string& label) const {
    const auto calls = vault_->calls();
    for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
      if (it->action != "entry.upsert") continue;
      for (const json& f : it->content["data"]["fields"]) {
        if (f.value("label", "") != label || f.value("tier", 0) != 2) continue;
        auto bytes = decode_hex_16_bytes(agent_.l2);
        if (!bytes) return "<no key>";
        auto plain = decrypt_field(L2Key(bytes->span()), label, f["value"].get<std::string>());
        return plain ? std::string(plain->view()) : "<undecryptable>";
      }
      return "<no field " + label + ">";
    }
    return "<no entry.upsert>";
  }

  std::unique_ptr<ShellJob> job_;
};

TEST_F(SecretAtATerminal, TypedSecretIsNotShownAndArrivesWhole) {
  const std::string summary = file("summary", "A summary");
  const std::string content = file("content", "Some content");
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string typed;   // before the end of input
    const char* label;   // the field it must reach
    std::string secret;  // what that field must hold
  } cases[] = {
      {"put secret field", {"put", "credential", "GitHub", "--password-file", "-"}, "typed-pw-1\n", "Password",
       "typed-pw-1"},
      {"put --json", {"put", "--json"}, R"({"type": "credential", "title": "J", "password": "typed-pw-2"})" "\n",
       "Password", "typed-pw-2"},
      {"note summary", {"note", "create", "--summary-file", "-", "--content-file", content}, "typed-summary\n",
       "summary", "typed-summary"},
      {"memory content", {"memory", "create", "--summary-file", summary, "--content-file", "-"},
       "typed line one\ntyped line two\n", "content", "typed line one\ntyped line two"},
      {"note --json", {"note", "create", "--json"}, R"({"summary": "S", "content": "typed-content-3"})" "\n",
       "content", "typed-content-3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(start(c.args));
    EXPECT_TRUE(job().await_echo(false)) << "echo stays on while the secret is typed: " << job().screen;
    job().type(c.typed);
    job().type("\x04");  // end of input
    const int status = job().await_change();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << job().screen;
    EXPECT_EQ(job().screen.find("typed"), std::string::npos) << "shown: " << job().screen;
    EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << test::modes_text(job().modes());
    EXPECT_EQ(sent_secret(c.label), c.secret);
  }
}

// Giving up while the secret is typed leaves the terminal echoing, and
// nothing is sent; a stop hands the shell a terminal that echoes, and once
// in front again the input is hidden again.
TEST_F(SecretAtATerminal, SignalsGiveTheEchoBack) {
  for (const char* interrupt : {"\x03", "\x1c"}) {
    SCOPED_TRACE(interrupt[0] == '\x03' ? "Ctrl-C" : "Ctrl-\\");
    ASSERT_TRUE(start({"put", "credential", "GitHub", "--password-file", "-"}));
    ASSERT_TRUE(job().await_echo(false)) << job().screen;
    job().type("half a secret");
    job().type(interrupt);
    const int status = job().await_change();
    EXPECT_TRUE(WIFSIGNALED(status) && !WCOREDUMP(status)) << "status " << status << ": " << job().screen;
    EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << test::modes_text(job().modes());
  }
  EXPECT_TRUE(vault_->calls().empty());

  ASSERT_TRUE(start({"put", "credential", "GitHub", "--password-file", "-"}));
  ASSERT_TRUE(job().await_echo(false)) << job().screen;
  job().type("dropped by the stop");
  job().type("\x1a");
  int status = job().await_change();
  ASSERT_TRUE(WIFSTOPPED(status) && WSTOPSIG(status) == SIGTSTP) << "status " << status;
  ASSERT_EQ(job().tell(ShellJob::TakeTerminal), 0);
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << "stopped with " << test::modes_text(job().modes());
  ASSERT_EQ(job().tell(ShellJob::Foreground), 0);
  EXPECT_TRUE(job().await_echo(false)) << "the input is not hidden again";
  job().type("typed after fg\n\x04");
  status = job().await_change();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << ": " << job().screen;
  EXPECT_EQ(job().screen.find("typed"), std::string::npos) << "shown: " << job().screen;
  EXPECT_TRUE(test::same_modes(job().modes(), job().user_modes())) << test::modes_text(job().modes());
  EXPECT_EQ(sent_secret("Password"), "typed after fg");
}

}  // namespace
}  // namespace pellucor
