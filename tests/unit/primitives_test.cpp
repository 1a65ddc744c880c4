#include "crypto/primitives.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

using testing::unhex;
using Bytes = std::vector<std::uint8_t>;

Bytes to_vec(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

const Bytes kKey128(16, 0x11);
const Bytes kKey256(32, 0x22);
const AeadNonce kNonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

TEST(Sha256, KnownAnswers) {
  EXPECT_EQ(to_vec(sha256(as_bytes("abc"))),
            unhex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  EXPECT_EQ(to_vec(sha256({})), unhex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

TEST(ConstantTimeEquals, ComparesContentAndLength) {
  const Bytes a = {1, 2, 3, 4};
  EXPECT_TRUE(constant_time_equals(a, Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(constant_time_equals(a, Bytes{1, 2, 3, 5}));
  EXPECT_FALSE(constant_time_equals(a, Bytes{0x81, 2, 3, 4}));
  EXPECT_FALSE(constant_time_equals(a, Bytes{1, 2, 3}));
  EXPECT_TRUE(constant_time_equals({}, {}));
}

TEST(HmacSha256, WycheproofVectors) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/hmac_sha256_test.json");
  int checked = 0;
  for (const auto& group : doc["testGroups"]) {
    const std::size_t tag_bytes = group["tagSize"].get<std::size_t>() / 8;
    for (const auto& t : group["tests"]) {
      SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()));
      const Bytes key = unhex(t["key"]);
      const Bytes msg = unhex(t["msg"]);
      const Bytes want = unhex(t["tag"]);
      const Sha256Digest got = hmac_sha256(key, msg);
      const bool match = want.size() == tag_bytes && Bytes(got.begin(), got.begin() + tag_bytes) == want;
      EXPECT_EQ(match, t["result"] == "valid");
      ++checked;
    }
  }
  EXPECT_EQ(checked, 174);
}

TEST(HkdfSha256, WycheproofVectorsWithAbsentOrFullSalt) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/hkdf_sha256_test.json");
  int checked = 0;
  for (const auto& group : doc["testGroups"]) {
    for (const auto& t : group["tests"]) {
      // The program only ever uses an absent salt or a 32-byte one.
      const Bytes salt = unhex(t["salt"]);
      const std::size_t size = t["size"];
      if ((salt.size() != 0 && salt.size() != 32) || t["result"] != "valid") continue;
      SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()));
      std::optional<std::span<const std::uint8_t, 32>> s;
      if (salt.size() == 32) s.emplace(salt.data(), 32);
      const Bytes ikm = unhex(t["ikm"]);
      const Bytes info = unhex(t["info"]);
      EXPECT_EQ(to_vec(hkdf_sha256(ikm, s, info, size)), unhex(t["okm"]));
      ++checked;
    }
  }
  EXPECT_GE(checked, 30);
}

TEST(HkdfSha256, AbsentSaltIsTheEmptySalt) {
  // RFC 5869 test case 3: 22 bytes of 0x0b, empty salt, empty info, 42 bytes.
  const Bytes ikm(22, 0x0b);
  EXPECT_EQ(to_vec(hkdf_sha256(ikm, std::nullopt, {}, 42)),
            unhex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"
                  "9d201395faa4b61a96c8"));
}

TEST(HkdfSha256, LongestOutputWorksAndOneMoreAborts) {
  const Bytes ikm(32, 7);
  const SecureBytes longest = hkdf_sha256(ikm, std::nullopt, as_bytes("x"), kHkdfMaxLen);
  EXPECT_EQ(longest.size(), 8160u);
  // The first block does not depend on the requested length.
  const SecureBytes first = hkdf_sha256(ikm, std::nullopt, as_bytes("x"), 32);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), longest.begin()));
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(hkdf_sha256(ikm, std::nullopt, as_bytes("x"), kHkdfMaxLen + 1),
               "internal error: entered unreachable code: the caller bounds the HKDF length");
}

TEST(AesGcm, WycheproofVectorsForTheKeysAndNonceInUse) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/aes_gcm_test.json");
  int checked = 0;
  for (const auto& group : doc["testGroups"]) {
    const int key_bits = group["keySize"];
    if (group["ivSize"] != 96 || group["tagSize"] != 128) continue;
    for (const auto& t : group["tests"]) {
      SCOPED_TRACE("tcId " + std::to_string(t["tcId"].get<int>()));
      const Bytes key = unhex(t["key"]);
      const Bytes iv = unhex(t["iv"]);
      const Bytes aad = unhex(t["aad"]);
      const Bytes msg = unhex(t["msg"]);
      Bytes sealed = unhex(t["ct"]);
      const Bytes tag = unhex(t["tag"]);
      sealed.insert(sealed.end(), tag.begin(), tag.end());
      const std::span<const std::uint8_t, 12> nonce(iv.data(), 12);
      auto opened = aead_open(key, nonce, aad, sealed);
      if (key_bits == 192) {
        // AES-192 is no part of this program: refused by its length.
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().code, "PL-0001");
        continue;
      }
      if (t["result"] == "valid") {
        ASSERT_TRUE(opened) << opened.error().code;
        EXPECT_EQ(to_vec(*opened), msg);
        auto again = aead_seal(key, nonce, aad, msg);
        ASSERT_TRUE(again);
        EXPECT_EQ(*again, sealed);
      } else {
        ASSERT_FALSE(opened);
        EXPECT_EQ(opened.error().code, "PL-0003");
      }
      ++checked;
    }
  }
  EXPECT_GE(checked, 100);
}

TEST(Aead, WrongKeyLengthIsRefusedFirstEverywhere) {
  const Bytes key24(24, 1);
  const Bytes pt = {1, 2, 3};
  for (const Bytes& key : {key24, Bytes{}, Bytes(33, 1), Bytes(15, 1)}) {
    EXPECT_EQ(aead_seal(key, kNonce, {}, pt).error().code, "PL-0001");
    EXPECT_EQ(aead_open(key, kNonce, {}, Bytes(20, 0)).error().code, "PL-0001");
    // A too-short input does not hide the bad key.
    EXPECT_EQ(aead_open(key, kNonce, {}, Bytes(3, 0)).error().code, "PL-0001");
    EXPECT_EQ(seal_random_nonce(key, pt).error().code, "PL-0001");
    EXPECT_EQ(seal_with_nonce(key, kNonce, pt).error().code, "PL-0001");
    EXPECT_EQ(decrypt_nonce_prefixed(key, Bytes(40, 0)).error().code, "PL-0001");
    EXPECT_EQ(aead_algorithm_for_key(key).error().code, "PL-0001");
  }
  EXPECT_EQ(*aead_algorithm_for_key(kKey128), AeadAlgorithm::Aes128Gcm);
  EXPECT_EQ(*aead_algorithm_for_key(kKey256), AeadAlgorithm::Aes256Gcm);
}

TEST(Aead, ShortInputs) {
  // Below the tag length: an authentication failure, without calling the cipher.
  EXPECT_EQ(aead_open(kKey256, kNonce, {}, Bytes(15, 0)).error().code, "PL-0003");
  // Tag only: the empty plaintext.
  auto tag_only = aead_seal(kKey256, kNonce, as_bytes("aad"), {});
  ASSERT_TRUE(tag_only);
  ASSERT_EQ(tag_only->size(), 16u);
  auto opened = aead_open(kKey256, kNonce, as_bytes("aad"), *tag_only);
  ASSERT_TRUE(opened);
  EXPECT_TRUE(opened->empty());

  // The blob-length test comes before the key-length test.
  EXPECT_EQ(decrypt_nonce_prefixed(Bytes(24, 1), Bytes(27, 0)).error().code, "PL-0010");
  EXPECT_EQ(decrypt_nonce_prefixed(kKey128, Bytes(27, 0)).error().code, "PL-0010");
  EXPECT_EQ(decrypt_nonce_prefixed(kKey128, Bytes(28, 0)).error().code, "PL-0003");
  auto empty_blob = seal_random_nonce(kKey128, {});
  ASSERT_TRUE(empty_blob);
  ASSERT_EQ(empty_blob->size(), 28u);
  auto empty_plain = decrypt_nonce_prefixed(kKey128, *empty_blob);
  ASSERT_TRUE(empty_plain);
  EXPECT_TRUE(empty_plain->empty());
}

TEST(Aead, EveryFlippedBitFailsAuthentication) {
  const Bytes pt = {'s', 'e', 'c', 'r', 'e', 't'};
  auto blob = seal_with_nonce(kKey256, kNonce, pt);
  ASSERT_TRUE(blob);
  for (std::size_t bit = 0; bit < blob->size() * 8; ++bit) {
    Bytes bad = *blob;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto r = decrypt_nonce_prefixed(kKey256, bad);
    ASSERT_FALSE(r) << "bit " << bit;
    EXPECT_EQ(r.error().code, "PL-0003");
  }
  auto ok = decrypt_nonce_prefixed(kKey256, *blob);
  ASSERT_TRUE(ok);
  EXPECT_EQ(to_vec(*ok), pt);
}

TEST(Aead, AssociatedDataIsAuthenticated) {
  auto sealed = aead_seal(kKey128, kNonce, as_bytes("header"), as_bytes("body"));
  ASSERT_TRUE(sealed);
  EXPECT_TRUE(aead_open(kKey128, kNonce, as_bytes("header"), *sealed));
  EXPECT_EQ(aead_open(kKey128, kNonce, as_bytes("headeR"), *sealed).error().code, "PL-0003");
  EXPECT_EQ(aead_open(kKey128, kNonce, {}, *sealed).error().code, "PL-0003");
}

TEST(SealRandomNonce, LengthAndFreshNonces) {
  for (std::size_t len : {0u, 1u, 15u, 16u, 17u, 1000u}) {
    const Bytes pt(len, 0x5a);
    auto a = seal_random_nonce(kKey256, pt);
    auto b = seal_random_nonce(kKey256, pt);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->size(), len + 28);
    EXPECT_NE(Bytes(a->begin(), a->begin() + 12), Bytes(b->begin(), b->begin() + 12));
    auto back = decrypt_nonce_prefixed(kKey256, *a);
    ASSERT_TRUE(back);
    EXPECT_EQ(to_vec(*back), pt);
  }
}

TEST(SealWithNonce, IsTheNonceFollowedByTheSeal) {
  auto blob = seal_with_nonce(kKey128, kNonce, as_bytes("hello"));
  auto bare = aead_seal(kKey128, kNonce, {}, as_bytes("hello"));
  ASSERT_TRUE(blob && bare);
  EXPECT_EQ(Bytes(blob->begin(), blob->begin() + 12), Bytes(kNonce.begin(), kNonce.end()));
  EXPECT_EQ(Bytes(blob->begin() + 12, blob->end()), *bare);
}

}  // namespace
}  // namespace pellucor
