// A P-256 scalar source that hands out given scalars in order, for tests that
// reproduce recorded handshakes. Running out is PL-0018, as a failing random
// source would be.
#pragma once

#include <cstddef>
#include <vector>

#include "crypto/p256.h"

namespace pellucor::testing {

class FixedP256Scalars final : public P256ScalarSource {
 public:
  explicit FixedP256Scalars(std::vector<P256Scalar> scalars) : scalars_(std::move(scalars)) {}
  std::expected<P256Scalar, PellucorError> next() override {
    if (next_ >= scalars_.size()) return std::unexpected(err::PL_0018);
    return scalars_[next_++];
  }
  std::size_t used() const { return next_; }

 private:
  std::vector<P256Scalar> scalars_;
  std::size_t next_ = 0;
};

}  // namespace pellucor::testing
