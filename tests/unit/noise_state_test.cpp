#include "crypto/noise_state.h"

#include <gtest/gtest.h>

#include <vector>

namespace pellucor {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes cat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  Bytes out(a.size() + b.size());
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(a.size()));
  return out;
}

std::array<std::uint8_t, 32> ikm_of(std::uint8_t v) {
  std::array<std::uint8_t, 32> a;
  a.fill(v);
  return a;
}

TEST(NoiseState, InitialiseHashesTheProtocolName) {
  const SymmetricState st = noise_initialise();
  EXPECT_EQ(kNoiseProtocolName.size(), 39u);
  EXPECT_EQ(st.h, sha256(as_bytes("Pellucor_IK_P256+MLKEM768_AESGCM_SHA256")));
  EXPECT_TRUE(std::equal(st.h.begin(), st.h.end(), st.ck.begin()));
  EXPECT_EQ(st.n, 0u);
  EXPECT_FALSE(st.has_key);
}

TEST(NoiseState, NonceLayout) {
  EXPECT_EQ(noise_nonce(0), (AeadNonce{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(noise_nonce(1), (AeadNonce{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
  EXPECT_EQ(noise_nonce(0x0102030405060708ull), (AeadNonce{0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(NoiseState, MixHashAndMixKey) {
  SymmetricState st = noise_initialise();
  const Sha256Digest h0 = st.h;
  noise_mix_hash(st, as_bytes("pellucor-noise-v2"));
  EXPECT_EQ(st.h, sha256(cat(h0, as_bytes("pellucor-noise-v2"))));

  const Bytes ck0(st.ck.begin(), st.ck.end());
  const auto ikm = ikm_of(7);
  const SecureBytes out = hkdf_sha256(ikm, std::span<const std::uint8_t, 32>(ck0.data(), 32), {}, 64);
  noise_mix_key(st, ikm);
  EXPECT_TRUE(std::equal(st.ck.begin(), st.ck.end(), out.begin()));
  EXPECT_TRUE(std::equal(st.k.begin(), st.k.end(), out.begin() + 32));
  EXPECT_TRUE(st.has_key);
  EXPECT_EQ(st.n, 0u);
}

TEST(NoiseState, NoKeyRefusesBothDirections) {
  SymmetricState st = noise_initialise();
  const Sha256Digest h = st.h;
  EXPECT_EQ(noise_encrypt_and_hash(st, as_bytes("x")).error().code, "PL-0005");
  EXPECT_EQ(noise_decrypt_and_hash(st, Bytes(20, 0)).error().code, "PL-0005");
  EXPECT_EQ(st.h, h);
  EXPECT_EQ(st.n, 0u);
}

TEST(NoiseState, EncryptionUsesCounterNoncesAndTheRunningHash) {
  SymmetricState st = noise_initialise();
  noise_mix_key(st, ikm_of(1));
  const Bytes key(st.k.begin(), st.k.end());
  const Sha256Digest h0 = st.h;

  auto c1 = noise_encrypt_and_hash(st, as_bytes("first"));
  ASSERT_TRUE(c1);
  EXPECT_EQ(*c1, *aead_seal(key, noise_nonce(0), h0, as_bytes("first")));
  EXPECT_EQ(st.n, 1u);
  const Sha256Digest h1 = sha256(cat(h0, *c1));
  EXPECT_EQ(st.h, h1);

  auto c2 = noise_encrypt_and_hash(st, as_bytes("second"));
  ASSERT_TRUE(c2);
  EXPECT_EQ(*c2, *aead_seal(key, noise_nonce(1), h1, as_bytes("second")));
  EXPECT_EQ(st.n, 2u);
  EXPECT_EQ(st.h, sha256(cat(h1, *c2)));
}

TEST(NoiseState, EmptyPlaintextStillAdvances) {
  SymmetricState st = noise_initialise();
  noise_mix_key(st, ikm_of(2));
  const Sha256Digest h0 = st.h;
  auto c = noise_encrypt_and_hash(st, {});
  ASSERT_TRUE(c);
  EXPECT_EQ(c->size(), 16u);
  EXPECT_EQ(st.n, 1u);
  EXPECT_NE(st.h, h0);
}

TEST(NoiseState, SecondMixKeyReplacesKeyAndResetsCounter) {
  SymmetricState st = noise_initialise();
  noise_mix_key(st, ikm_of(3));
  const Bytes k1(st.k.begin(), st.k.end());
  ASSERT_TRUE(noise_encrypt_and_hash(st, as_bytes("a")));
  ASSERT_EQ(st.n, 1u);
  noise_mix_key(st, ikm_of(4));
  EXPECT_NE(Bytes(st.k.begin(), st.k.end()), k1);
  EXPECT_EQ(st.n, 0u);
}

TEST(NoiseState, DecryptMirrorsEncryptAndFailuresLeaveStateAlone) {
  SymmetricState sender = noise_initialise();
  SymmetricState receiver = noise_initialise();
  noise_mix_key(sender, ikm_of(5));
  noise_mix_key(receiver, ikm_of(5));
  auto c = noise_encrypt_and_hash(sender, as_bytes("reply"));
  ASSERT_TRUE(c);

  const Sha256Digest h_before = receiver.h;
  Bytes tampered = *c;
  tampered[0] ^= 1;
  EXPECT_EQ(noise_decrypt_and_hash(receiver, tampered).error().code, "PL-0003");
  EXPECT_EQ(noise_decrypt_and_hash(receiver, Bytes(15, 0)).error().code, "PL-0010");
  EXPECT_EQ(receiver.n, 0u);
  EXPECT_EQ(receiver.h, h_before);

  auto p = noise_decrypt_and_hash(receiver, *c);
  ASSERT_TRUE(p);
  EXPECT_EQ(Bytes(p->begin(), p->end()), Bytes({'r', 'e', 'p', 'l', 'y'}));
  EXPECT_EQ(receiver.n, 1u);
  EXPECT_EQ(receiver.h, sender.h);
}

TEST(NoiseState, WipesZeroSecretsOnly) {
  SymmetricState st = noise_initialise();
  noise_mix_key(st, ikm_of(6));
  const Sha256Digest h = st.h;
  wipe_cipher_key(st);
  EXPECT_TRUE(std::all_of(st.k.begin(), st.k.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(std::all_of(st.ck.begin(), st.ck.end(), [](std::uint8_t b) { return b == 0; }));
  wipe_symmetric_state(st);
  EXPECT_TRUE(std::all_of(st.ck.begin(), st.ck.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_EQ(st.h, h);
}

}  // namespace
}  // namespace pellucor
