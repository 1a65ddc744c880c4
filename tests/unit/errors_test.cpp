#include "crypto/errors.h"

#include <gtest/gtest.h>

namespace pellucor {
namespace {

TEST(ErrorCatalogue, HasThirtySevenRecordsTwoOfThemBugs) {
  auto cat = error_catalogue();
  ASSERT_EQ(cat.size(), 37u);
  int bugs = 0;
  for (const auto& r : cat) {
    EXPECT_EQ(r.code.size(), 7u) << r.code;
    EXPECT_EQ(r.component, r.code.starts_with("PL-00") ? Component::Crypto : Component::Cli) << r.code;
    if (r.severity == Severity::Bug) ++bugs;
  }
  EXPECT_EQ(bugs, 2);
  EXPECT_EQ(err::PL_0005.severity, Severity::Bug);
  EXPECT_EQ(err::PL_2081.severity, Severity::Bug);
  for (std::size_t i = 1; i < cat.size(); ++i) EXPECT_LT(cat[i - 1].code, cat[i].code);
}

TEST(ErrorForms, DisplayAndCliForms) {
  EXPECT_EQ(format_context_error(err::PL_2000), "PL-2000: Invalid command or argument.");
  EXPECT_EQ(format_cli_error(CliError{"", err::PL_2003}), "PL-2003: Config file not found.");
  EXPECT_EQ(format_cli_error(new_argument_error("a\nb")), "PL-2000: a\nb");
}

TEST(ErrorForms, DebugForm) {
  EXPECT_EQ(format_pellucor_error_debug(err::PL_0010),
            "PellucorError { code: \"PL-0010\", user_msg: \"Encrypted data is truncated.\", "
            "tech_msg: \"AES-GCM ciphertext shorter than nonce(12) + tag(16) = 28 bytes\", "
            "resolution: \"The encrypted data was corrupted in transit or storage. Re-save the entry.\", "
            "severity: Error, component: Crypto }");
  // Apostrophes and the dash are kept as they are.
  EXPECT_NE(format_pellucor_error_debug(err::PL_0027).find("The server's key"), std::string::npos);
  EXPECT_NE(format_pellucor_error_debug(err::PL_2048).find("requested — agents"), std::string::npos);
  PellucorError odd{"PL-9999", "q\"b\\t\tr\rn\nz", "nul", "res", Severity::Error, Component::Sync};
  odd.tech_msg = std::string_view("\0\x01\xc2\x85", 4);
  EXPECT_EQ(format_pellucor_error_debug(odd),
            "PellucorError { code: \"PL-9999\", user_msg: \"q\\\"b\\\\t\\tr\\rn\\nz\", "
            "tech_msg: \"\\0\\u{1}\\u{85}\", resolution: \"res\", severity: Error, component: Sync }");
}

}  // namespace
}  // namespace pellucor
