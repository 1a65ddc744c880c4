#include "gate/handshake.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "crypto/mlkem768.h"
#include "crypto/p256.h"
#include "crypto/primitives.h"

namespace pellucor {

namespace {

CliError wrap(std::string_view context, const PellucorError& inner) {
  std::string message(context);
  message += format_pellucor_error_debug(inner);
  return make_error(err::PL_2047, std::move(message));
}

// Seeds of message 1 that are normally drawn fresh; empty means "draw".
struct Message1Seeds {
  std::optional<std::span<const std::uint8_t, 32>> ephemeral;
  std::optional<std::span<const std::uint8_t, 32>> kem_randomness;
};

}  // namespace

// Gives the free functions of this file access to the state's secrets without
// widening the public interface.
struct HandshakeInternals {
  static InitiatorHandshake make() noexcept { return InitiatorHandshake(); }
  static SymmetricState& sym(InitiatorHandshake& h) noexcept { return h.sym_; }
  static SecureArray<32>& e(InitiatorHandshake& h) noexcept { return h.e_; }
  static SecureArray<32>& s(InitiatorHandshake& h) noexcept { return h.s_; }
  static void wipe(InitiatorHandshake& h) noexcept { h.wipe(); }

  static std::expected<void, PellucorError> message1(InitiatorHandshake& hs, std::span<const std::uint8_t> rs,
                                                     std::span<const std::uint8_t> payload,
                                                     const Message1Seeds& seeds,
                                                     std::vector<std::uint8_t>& out);
  static std::expected<SecureBytes, PellucorError> message2(InitiatorHandshake& hs,
                                                            std::span<const std::uint8_t> message2);
};

InitiatorHandshake::InitiatorHandshake() noexcept : sym_(noise_initialise()) {}

InitiatorHandshake::InitiatorHandshake(InitiatorHandshake&& other) noexcept
    : sym_(other.sym_), e_(other.e_), s_(other.s_) {
  other.wipe();
}

InitiatorHandshake::~InitiatorHandshake() { wipe(); }

void InitiatorHandshake::wipe() noexcept {
  wipe_symmetric_state(sym_);
  e_.wipe();
  s_.wipe();
}

std::span<const std::uint8_t, 32> InitiatorHandshake::handshake_hash() const noexcept { return sym_.h; }

std::expected<void, PellucorError> HandshakeInternals::message1(InitiatorHandshake& hs,
                                                                std::span<const std::uint8_t> rs,
                                                                std::span<const std::uint8_t> payload,
                                                                const Message1Seeds& seeds,
                                                                std::vector<std::uint8_t>& out) {
  // The transport checks the length first; a short key here is still the
  // node key's fault, never a read past its end.
  if (rs.size() != NOISE_RESPONDER_KEY_BYTES) return std::unexpected(err::PL_0027);
  const auto rs_point = rs.first(NOISE_P256_POINT_BYTES);
  const auto rs_kem = rs.subspan(NOISE_P256_POINT_BYTES);
  SymmetricState& sym = hs.sym_;

  // h = SHA-256(protocol name), ck = h: done by the state's constructor.
  noise_mix_hash(sym, as_bytes(NOISE_PROLOGUE));
  noise_mix_hash(sym, rs);

  // e
  if (seeds.ephemeral) {
    std::copy(seeds.ephemeral->begin(), seeds.ephemeral->end(), hs.e_.begin());
  } else {
    auto e = p256_generate_private();
    if (!e) return std::unexpected(e.error());
    hs.e_ = *e;
  }
  auto e_pub = p256_public_from_private(hs.e_.span());
  if (!e_pub) return std::unexpected(e_pub.error());
  noise_mix_hash(sym, *e_pub);

  // es
  {
    auto dh = p256_ecdh(hs.e_.span(), rs_point);
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }

  // KEM to the node's ML-KEM-768 key
  auto enc = seeds.kem_randomness ? mlkem768::encapsulate_derand(rs_kem, *seeds.kem_randomness)
                                  : mlkem768::encapsulate(rs_kem);
  if (!enc) return std::unexpected(enc.error());
  noise_mix_hash(sym, enc->ciphertext);
  noise_mix_key(sym, enc->shared_secret.span());

  // s
  auto s_pub = p256_public_from_private(hs.s_.span());
  if (!s_pub) return std::unexpected(s_pub.error());
  auto c_s = noise_encrypt_and_hash(sym, *s_pub);
  if (!c_s) return std::unexpected(c_s.error());

  // ss
  {
    auto dh = p256_ecdh(hs.s_.span(), rs_point);
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }

  // payload
  auto c_p = noise_encrypt_and_hash(sym, payload);
  if (!c_p) return std::unexpected(c_p.error());

  out.reserve(payload.size() + HANDSHAKE_MESSAGE1_OVERHEAD);
  out.insert(out.end(), e_pub->begin(), e_pub->end());
  out.insert(out.end(), enc->ciphertext.begin(), enc->ciphertext.end());
  out.insert(out.end(), c_s->begin(), c_s->end());
  out.insert(out.end(), c_p->begin(), c_p->end());
  // The KEM's own output buffer goes the way of its shared secret; only the
  // copy inside message 1 stays.
  wipe_bytes(enc->ciphertext.data(), enc->ciphertext.size());
  return {};
}

std::expected<SecureBytes, PellucorError> HandshakeInternals::message2(InitiatorHandshake& hs,
                                                                       std::span<const std::uint8_t> message2) {
  if (message2.size() < HANDSHAKE_MESSAGE2_MIN_BYTES) return std::unexpected(err::PL_0010);
  SymmetricState& sym = hs.sym_;
  const auto re = message2.first(NOISE_P256_POINT_BYTES);
  noise_mix_hash(sym, re);

  // ee
  {
    auto dh = p256_ecdh(hs.e_.span(), re);
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }
  // se
  {
    auto dh = p256_ecdh(hs.s_.span(), re);
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }
  return noise_decrypt_and_hash(sym, message2.subspan(NOISE_P256_POINT_BYTES));
}

namespace {

std::expected<HandshakeStart, CliError> start(std::span<const std::uint8_t> rs, std::span<const std::uint8_t, 32> s,
                                              std::span<const std::uint8_t> payload, const Message1Seeds& seeds) {
  InitiatorHandshake hs = HandshakeInternals::make();
  std::copy(s.begin(), s.end(), HandshakeInternals::s(hs).begin());
  std::vector<std::uint8_t> message1;
  if (auto ok = HandshakeInternals::message1(hs, rs, payload, seeds, message1); !ok) {
    HandshakeInternals::wipe(hs);
    return std::unexpected(wrap("handshake msg1: ", ok.error()));
  }
  return HandshakeStart{std::move(hs), std::move(message1)};
}

}  // namespace

std::expected<HandshakeStart, CliError> write_handshake_message1(std::span<const std::uint8_t> rs,
                                                                 std::span<const std::uint8_t, 32> s,
                                                                 std::span<const std::uint8_t> payload) {
  return start(rs, s, payload, Message1Seeds{});
}

std::expected<HandshakeStart, CliError> write_handshake_message1_seeded(
    std::span<const std::uint8_t> rs, std::span<const std::uint8_t, 32> s, std::span<const std::uint8_t> payload,
    std::span<const std::uint8_t, 32> ephemeral, std::span<const std::uint8_t, 32> kem_randomness) {
  return start(rs, s, payload, Message1Seeds{ephemeral, kem_randomness});
}

std::expected<SecureBytes, CliError> read_handshake_message2(InitiatorHandshake&& state,
                                                             std::span<const std::uint8_t> message2) {
  InitiatorHandshake hs(std::move(state));
  auto plaintext = HandshakeInternals::message2(hs, message2);
  HandshakeInternals::wipe(hs);
  if (!plaintext) return std::unexpected(wrap("open msg2: ", plaintext.error()));
  return std::move(*plaintext);
}

}  // namespace pellucor
