#include "crypto/noise_state.h"

#include <algorithm>

namespace pellucor {

SymmetricState noise_initialise() {
  SymmetricState st;
  st.h = sha256(as_bytes(kNoiseProtocolName));
  std::copy(st.h.begin(), st.h.end(), st.ck.begin());
  st.n = 0;
  st.has_key = false;
  return st;
}

AeadNonce noise_nonce(std::uint64_t n) noexcept {
  AeadNonce nonce{};
  for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<std::uint8_t>(n >> (56 - 8 * i));
  return nonce;
}

void noise_mix_hash(SymmetricState& st, std::span<const std::uint8_t> data) {
  std::vector<std::uint8_t> buf;
  buf.reserve(st.h.size() + data.size());
  buf.insert(buf.end(), st.h.begin(), st.h.end());
  buf.insert(buf.end(), data.begin(), data.end());
  st.h = sha256(buf);
}

void noise_mix_key(SymmetricState& st, std::span<const std::uint8_t, 32> ikm) {
  SecureBytes out = hkdf_sha256(ikm, std::span<const std::uint8_t, 32>(st.ck.span()), {}, 64);
  st.ck.wipe();
  std::copy_n(out.begin(), 32, st.ck.begin());
  if (st.has_key) st.k.wipe();
  st.has_key = true;
  std::copy_n(out.begin() + 32, 32, st.k.begin());
  st.n = 0;
  wipe_bytes(out.data(), out.size());
}

std::expected<std::vector<std::uint8_t>, PellucorError> noise_encrypt_and_hash(
    SymmetricState& st, std::span<const std::uint8_t> plaintext) {
  if (!st.has_key) return std::unexpected(err::PL_0005);
  const AeadNonce nonce = noise_nonce(st.n);
  auto sealed = aead_seal(st.k.span(), nonce, st.h, plaintext);
  if (!sealed) return std::unexpected(sealed.error());
  st.n += 1;
  noise_mix_hash(st, *sealed);
  return sealed;
}

std::expected<SecureBytes, PellucorError> noise_decrypt_and_hash(SymmetricState& st,
                                                                std::span<const std::uint8_t> ciphertext) {
  if (!st.has_key) return std::unexpected(err::PL_0005);
  if (ciphertext.size() < kAeadTagLen) return std::unexpected(err::PL_0010);
  const AeadNonce nonce = noise_nonce(st.n);
  auto opened = aead_open(st.k.span(), nonce, st.h, ciphertext);
  if (!opened) return std::unexpected(opened.error());
  st.n += 1;
  noise_mix_hash(st, ciphertext);
  return opened;
}

void wipe_symmetric_state(SymmetricState& st) noexcept {
  st.ck.wipe();
  wipe_cipher_key(st);
}

void wipe_cipher_key(SymmetricState& st) noexcept {
  if (st.has_key) st.k.wipe();
}

}  // namespace pellucor
