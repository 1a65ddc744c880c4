// Locating and loading the test-vector files. They are part of the source
// tree (tests/vectors, compiled in as PELLUCOR_VECTORS_DIR); the variable of
// the same name in the environment points the tests at another copy. A file
// that is missing, unreadable or not the JSON it should be fails the test
// with its path: a suite that skipped instead would pass having checked
// nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#ifndef PELLUCOR_VECTORS_DIR
#error "PELLUCOR_VECTORS_DIR must name the test-vector folder (cmake/library.cmake sets it)"
#endif

namespace pellucor::testing {

inline std::filesystem::path vectors_dir() {
  if (const char* env = std::getenv("PELLUCOR_VECTORS_DIR"); env != nullptr && *env != '\0') return env;
  return PELLUCOR_VECTORS_DIR;
}

struct VectorFile {
  std::filesystem::path path;
  std::string bytes;
};

// Reads vectors_dir()/relative whole. The error names the file; an empty
// file is an error too, since no vector file is empty when intact.
inline std::expected<VectorFile, std::string> read_vector_file(const std::string& relative) {
  VectorFile file{vectors_dir() / relative, {}};
  const std::string where = file.path.string();
  std::error_code ec;
  if (!std::filesystem::exists(file.path, ec)) return std::unexpected("test vector file not found: " + where);
  if (!std::filesystem::is_regular_file(file.path, ec)) {
    return std::unexpected("test vector file is not a regular file: " + where);
  }
  std::ifstream in(file.path, std::ios::binary);
  std::ostringstream text;
  // Inserting a stream buffer fails when it yields no byte: unreadable or empty.
  if (!in || !(text << in.rdbuf())) {
    return std::unexpected("test vector file cannot be read or is empty: " + where);
  }
  file.bytes = std::move(text).str();
  return file;
}

// Reads vectors_dir()/relative as JSON; the error names the file.
inline std::expected<nlohmann::json, std::string> load_vector_json(const std::string& relative) {
  auto file = read_vector_file(relative);
  if (!file) return std::unexpected(file.error());
  try {
    return nlohmann::json::parse(file->bytes);
  } catch (const nlohmann::json::parse_error& e) {
    return std::unexpected("test vector file is not valid JSON: " + file->path.string() + ": " + e.what());
  }
}

inline std::vector<std::uint8_t> unhex(const std::string& s) {
  if (s.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + s);
  std::vector<std::uint8_t> out(s.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(std::stoul(s.substr(2 * i, 2), nullptr, 16));
  return out;
}

}  // namespace pellucor::testing

// Reads a vector file into `var` (a VectorFile), or fails the test naming it.
#define PELLUCOR_READ_VECTORS(var, relative)                                 \
  auto var##_read = ::pellucor::testing::read_vector_file(relative);         \
  if (!var##_read) {                                                         \
    FAIL() << var##_read.error();                                            \
  }                                                                          \
  const ::pellucor::testing::VectorFile& var = *var##_read

// Loads a JSON vector file into `var`, or fails the test naming it.
#define PELLUCOR_LOAD_VECTORS(var, relative)                                 \
  auto var##_loaded = ::pellucor::testing::load_vector_json(relative);       \
  if (!var##_loaded) {                                                       \
    FAIL() << var##_loaded.error();                                          \
  }                                                                          \
  const nlohmann::json& var = *var##_loaded
