#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tests/support/process.h"

namespace pellucor {
namespace {

std::string asset_file() {
  std::ifstream in(std::string(PELLUCOR_SOURCE_DIR) + "/assets/entry-types.json", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(ShowSchema, PrintsTheDocumentAndOneLineFeed) {
  const std::string want = asset_file() + "\n";
  ASSERT_GT(want.size(), 1u);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"--show-schema"}, {"--show-schema", "extra", "--json"}, {"--show-schema=yes"}}) {
    auto r = test::run_process(test::cli_options(args));
    EXPECT_TRUE(r.exited_with(0)) << args.size() << r.err;
    EXPECT_EQ(r.out, want);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ShowSchema, ReaderGoneIsAQuietSuccess) {
  auto o = test::cli_options({"--show-schema"});
  o.stdout_mode = test::StdoutMode::BrokenPipe;
  auto r = test::run_process(o);
  EXPECT_TRUE(r.exited_with(0));
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace pellucor
