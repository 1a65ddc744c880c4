#include "crypto/p256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fixed_scalars.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

using testing::unhex;
using Bytes = std::vector<std::uint8_t>;
using Scalar = std::array<std::uint8_t, 32>;

// The group order n of P-256, big-endian.
const std::string kOrderHex = "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551";

Scalar scalar_from_hex(const std::string& hex) {
  Bytes b = unhex(hex);
  while (b.size() > 32 && b.front() == 0) b.erase(b.begin());
  Scalar s{};
  if (b.size() > 32) throw std::invalid_argument("scalar too long");
  std::copy(b.begin(), b.end(), s.begin() + (32 - b.size()));
  return s;
}

Bytes to_vec(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

// Runs one Wycheproof ECDH file whose "public" field is handed to p256_ecdh
// as it is. Valid cases must agree; invalid ones must fail with PL-0027;
// acceptable ones (compressed points, odd encodings) may go either way but
// must agree when they succeed.
void run_ecdh_file(const nlohmann::json& doc, int expected_cases) {
  int seen = 0, valid = 0;
  for (const auto& group : doc["testGroups"]) {
    for (const auto& t : group["tests"]) {
      ++seen;
      SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()) + " " + t["comment"].get<std::string>());
      const Scalar priv = scalar_from_hex(t["private"]);
      const Bytes pub = unhex(t["public"]);
      const std::string result = t["result"];
      auto shared = p256_ecdh(priv, pub);
      if (result == "valid") {
        ASSERT_TRUE(shared) << shared.error().code;
        EXPECT_EQ(to_vec(shared->span()), unhex(t["shared"]));
        ++valid;
      } else if (result == "invalid") {
        ASSERT_FALSE(shared);
        EXPECT_EQ(shared.error().code, "PL-0027");
      } else if (shared) {
        EXPECT_EQ(to_vec(shared->span()), unhex(t["shared"]));
      } else {
        EXPECT_EQ(shared.error().code, "PL-0027");
      }
    }
  }
  EXPECT_EQ(seen, expected_cases);
  EXPECT_EQ(valid, 330);
}

TEST(P256Ecdh, WycheproofRawPoints) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/ecdh_secp256r1_ecpoint_test.json");
  run_ecdh_file(doc, 355);
}

TEST(P256Ecdh, WycheproofSubjectPublicKeyInfo) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/ecdh_secp256r1_test.json");
  run_ecdh_file(doc, 612);
}

TEST(P256, GeneratedKeysAgree) {
  auto a = p256_generate_private();
  auto b = p256_generate_private();
  ASSERT_TRUE(a && b);
  EXPECT_NE(to_vec(a->span()), to_vec(b->span()));
  auto a_pub = p256_public_from_private(a->span());
  auto b_pub = p256_public_from_private(b->span());
  ASSERT_TRUE(a_pub && b_pub);
  EXPECT_EQ((*a_pub)[0], 0x04);
  auto ab = p256_ecdh(a->span(), *b_pub);
  auto ba = p256_ecdh(b->span(), *a_pub);
  ASSERT_TRUE(ab && ba);
  EXPECT_EQ(to_vec(ab->span()), to_vec(ba->span()));
  auto key = p256_private_key_from_scalar(a->span());
  ASSERT_TRUE(key);
  EXPECT_EQ(key->public_point(), *a_pub);
}

TEST(P256, PublicPointOfKnownScalars) {
  // 1 x G is the generator; n - 1 x G is its negation (same X).
  Scalar one{};
  one[31] = 1;
  auto g = p256_public_from_private(one);
  ASSERT_TRUE(g);
  EXPECT_EQ(to_vec(*g), unhex("046b17d1f2e12c4247f8bce6e563a440f277037d812deb33a0f4a13945d898c296"
                              "4fe342e2fe1a7f9b8ee7eb4a7c0f9e162bce33576b315ececbb6406837bf51f5"));
  Scalar minus_one = scalar_from_hex(kOrderHex);
  minus_one[31] -= 1;
  auto neg = p256_public_from_private(minus_one);
  ASSERT_TRUE(neg);
  EXPECT_EQ(Bytes(neg->begin(), neg->begin() + 33), Bytes(g->begin(), g->begin() + 33));
  EXPECT_NE(*neg, *g);
}

TEST(P256, ScalarsOutOfRangeAreRefusedEverywhere) {
  const Scalar zero{};
  const Scalar order = scalar_from_hex(kOrderHex);
  Scalar above = order;
  above[31] += 1;
  const Scalar all_ff = scalar_from_hex(std::string(64, 'f'));
  Scalar one{};
  one[31] = 1;
  auto peer = p256_public_from_private(one);
  ASSERT_TRUE(peer);
  for (const Scalar& s : {zero, order, above, all_ff}) {
    EXPECT_EQ(p256_private_key_from_scalar(s).error().code, "PL-0027");
    EXPECT_EQ(p256_public_from_private(s).error().code, "PL-0027");
    EXPECT_EQ(p256_ecdh(s, *peer).error().code, "PL-0027");
  }
}

TEST(P256, BadPeerPointsAreRefused) {
  auto mine = p256_generate_private();
  ASSERT_TRUE(mine);
  Scalar one{};
  one[31] = 1;
  const P256Point g = *p256_public_from_private(one);
  Bytes off_curve(g.begin(), g.end());
  off_curve[64] ^= 1;
  Bytes bad_prefix(g.begin(), g.end());
  bad_prefix[0] = 0x05;
  Bytes hybrid(g.begin(), g.end());
  hybrid[0] = 0x06 | (g[64] & 1);  // a hybrid encoding of a valid point
  Bytes x_too_big(g.begin(), g.end());
  std::fill(x_too_big.begin() + 1, x_too_big.begin() + 33, 0xff);
  const Bytes cases[] = {off_curve, bad_prefix, hybrid, x_too_big, Bytes{0x00}, Bytes{}, Bytes(65, 0),
                         Bytes(g.begin(), g.end() - 1), Bytes(g.begin() + 1, g.end())};
  for (const Bytes& peer : cases) {
    auto r = p256_ecdh(mine->span(), peer);
    ASSERT_FALSE(r) << ::testing::PrintToString(peer);
    EXPECT_EQ(r.error().code, "PL-0027");
  }
  EXPECT_TRUE(p256_ecdh(mine->span(), g));
}

TEST(P256, GeneratedScalarsAreAlwaysThirtyTwoBytes) {
  // About one scalar in 256 has a zero top byte; it must still come back as
  // 32 bytes that reproduce the same public point.
  int zero_top = 0;
  for (int i = 0; i < 5000 && zero_top < 2; ++i) {
    auto s = p256_generate_private();
    ASSERT_TRUE(s);
    if ((*s)[0] != 0) continue;
    ++zero_top;
    auto pub = p256_public_from_private(s->span());
    ASSERT_TRUE(pub);
    EXPECT_EQ((*pub)[0], 0x04);
  }
  EXPECT_GT(zero_top, 0);
}

TEST(P256ScalarSources, SystemAndFixed) {
  auto a = system_p256_scalars().next();
  auto b = system_p256_scalars().next();
  ASSERT_TRUE(a && b);
  EXPECT_NE(to_vec(a->span()), to_vec(b->span()));
  testing::FixedP256Scalars fixed({*a});
  auto again = fixed.next();
  ASSERT_TRUE(again);
  EXPECT_EQ(to_vec(again->span()), to_vec(a->span()));
  EXPECT_EQ(fixed.next().error().code, "PL-0018");
}

}  // namespace
}  // namespace pellucor
