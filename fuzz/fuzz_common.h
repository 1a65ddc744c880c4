// Shared bits of the fuzz targets: a check that stops the run with a message
// when two ways of computing the same thing disagree, and byte views.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

// FUZZ_CHECK aborts (a finding for libFuzzer) when `cond` is false.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);      \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

namespace pellucor::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

inline std::span<const std::uint8_t> as_span(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace pellucor::fuzz
