// Locating and loading the shared test-vector files at run time. The folder
// is PELLUCOR_VECTORS_DIR from the environment, else the one compiled in;
// suites whose files are missing skip with a message naming the folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pellucor::testing {

inline std::filesystem::path vectors_dir() {
  if (const char* env = std::getenv("PELLUCOR_VECTORS_DIR"); env != nullptr && *env != '\0') return env;
#ifdef PELLUCOR_VECTORS_DIR
  return PELLUCOR_VECTORS_DIR;
#else
  return "../shared/vectors";
#endif
}

// Reads vectors_dir()/relative as JSON; std::nullopt when the file is absent.
inline std::optional<nlohmann::json> load_vector_json(const std::string& relative) {
  std::ifstream in(vectors_dir() / relative, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream ss;
  ss << in.rdbuf();
  return nlohmann::json::parse(ss.str());
}

inline std::vector<std::uint8_t> unhex(const std::string& s) {
  if (s.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + s);
  std::vector<std::uint8_t> out(s.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(std::stoul(s.substr(2 * i, 2), nullptr, 16));
  return out;
}

}  // namespace pellucor::testing

// Loads a vector file into `var`, or skips the test naming the folder.
#define PELLUCOR_LOAD_VECTORS_OR_SKIP(var, relative)                                                    \
  auto var##_opt = ::pellucor::testing::load_vector_json(relative);                                     \
  if (!var##_opt) {                                                                                     \
    GTEST_SKIP() << "test vectors not found: " << (::pellucor::testing::vectors_dir() / (relative))     \
                 << " (set PELLUCOR_VECTORS_DIR to the shared vectors folder)";                          \
  }                                                                                                     \
  const nlohmann::json& var = *var##_opt
