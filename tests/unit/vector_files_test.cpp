// The vector-file loader: the suites' files come with the checkout, and a
// file that is gone or damaged fails its suite by name instead of skipping.
#include "tests/support/vector_files.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace pellucor::testing {
namespace {

namespace fs = std::filesystem;

// Points PELLUCOR_VECTORS_DIR at a scratch folder for the test, and puts the
// caller's value back afterwards.
class VectorFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-vectors-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    if (const char* was = std::getenv("PELLUCOR_VECTORS_DIR")) saved_ = was;
    ::setenv("PELLUCOR_VECTORS_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("PELLUCOR_VECTORS_DIR", saved_->c_str(), 1);
    } else {
      ::unsetenv("PELLUCOR_VECTORS_DIR");
    }
    fs::remove_all(dir_);
  }
  void write(const std::string& relative, const std::string& text) {
    fs::create_directories((dir_ / relative).parent_path());
    std::ofstream(dir_ / relative, std::ios::binary) << text;
  }
  fs::path dir_;
  std::optional<std::string> saved_;
};

TEST_F(VectorFiles, EveryDamagedFileIsAnErrorNamingIt) {
  write("interop/empty.json", "");
  write("interop/cut.json", "{\"cases\": [");
  fs::create_directories(dir_ / "interop/folder.json");
  struct Case {
    const char* relative;
    const char* says;
  } cases[] = {
      {"interop/gone.json", "test vector file not found: "},
      {"interop/folder.json", "test vector file is not a regular file: "},
      {"interop/empty.json", "test vector file cannot be read or is empty: "},
      {"interop/cut.json", "test vector file is not valid JSON: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    auto doc = load_vector_json(c.relative);
    ASSERT_FALSE(doc.has_value());
    EXPECT_EQ(doc.error().rfind(std::string(c.says) + (dir_ / c.relative).string(), 0), 0u) << doc.error();
  }
}

TEST_F(VectorFiles, ReadsTheFolderTheEnvironmentNames) {
  write("wycheproof/testvectors_v1/tiny_test.json", "{\"numberOfTests\": 1}");
  auto doc = load_vector_json("wycheproof/testvectors_v1/tiny_test.json");
  ASSERT_TRUE(doc.has_value()) << doc.error();
  EXPECT_EQ((*doc)["numberOfTests"], 1);

  write("cctv/raw.txt.gz", std::string("\x1f\x8b\0\x01", 4));
  auto raw = read_vector_file("cctv/raw.txt.gz");
  ASSERT_TRUE(raw.has_value()) << raw.error();
  EXPECT_EQ(raw->path, dir_ / "cctv/raw.txt.gz");
  EXPECT_EQ(raw->bytes, std::string("\x1f\x8b\0\x01", 4));
}

void load_a_missing_file() {
  PELLUCOR_LOAD_VECTORS(doc, "interop/gone.json");
  ADD_FAILURE() << "went on without the file: " << doc.dump();
}

void read_a_missing_file() {
  PELLUCOR_READ_VECTORS(file, "cctv/gone.txt");
  ADD_FAILURE() << "went on without the file: " << file.path;
}

// A suite whose file is missing must fail, not skip: a skipped suite leaves
// the run green having checked nothing.
TEST_F(VectorFiles, SuiteWithoutItsFileFails) {
  EXPECT_FATAL_FAILURE(load_a_missing_file(), "test vector file not found: ");
  EXPECT_FATAL_FAILURE(read_a_missing_file(), "test vector file not found: ");
}

// Without the variable the files come from the checkout itself, so a clone
// alone runs every suite.
TEST(VectorFilesDefault, FolderIsInsideTheCheckout) {
  std::optional<std::string> saved;
  if (const char* was = std::getenv("PELLUCOR_VECTORS_DIR")) saved = was;
  ::unsetenv("PELLUCOR_VECTORS_DIR");
  const fs::path dir = fs::weakly_canonical(vectors_dir());
  if (saved) ::setenv("PELLUCOR_VECTORS_DIR", saved->c_str(), 1);

  const fs::path source = fs::weakly_canonical(PELLUCOR_SOURCE_DIR);
  const bool inside = std::mismatch(source.begin(), source.end(), dir.begin(), dir.end()).first == source.end();
  EXPECT_TRUE(inside) << dir << " is outside the checkout " << source;
  EXPECT_TRUE(fs::is_regular_file(dir / "wycheproof/LICENSE")) << dir;
}

}  // namespace
}  // namespace pellucor::testing
