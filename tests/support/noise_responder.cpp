#include "tests/support/noise_responder.h"

#include <algorithm>
#include <utility>

#include "crypto/encoding.h"
#include "crypto/mlkem768.h"
#include "crypto/p256.h"
#include "crypto/primitives.h"
#include "gate/handshake.h"

namespace pellucor::testing {

namespace {

constexpr std::size_t kPoint = NOISE_P256_POINT_BYTES;
constexpr std::size_t kKemCt = NOISE_KEM_CIPHERTEXT_BYTES;
constexpr std::size_t kCs = NOISE_P256_POINT_BYTES + NOISE_TAG_BYTES;

// Completes a node key pair whose ML-KEM half is already filled in.
std::expected<NodeKeyPair, PellucorError> with_p256(NodeKeyPair node, std::span<const std::uint8_t, 32> scalar) {
  auto pub = p256_public_from_private(scalar);
  if (!pub) return std::unexpected(pub.error());
  node.p256_private = SecureArray<32>(scalar);
  std::copy(pub->begin(), pub->end(), node.p256_public.begin());
  return node;
}

}  // namespace

std::vector<std::uint8_t> NodeKeyPair::channel_key() const {
  std::vector<std::uint8_t> key(p256_public.begin(), p256_public.end());
  key.insert(key.end(), mlkem_ek.begin(), mlkem_ek.end());
  return key;
}

std::string NodeKeyPair::channel_key_hex() const { return hex_encode(channel_key()); }

std::expected<NodeKeyPair, PellucorError> generate_node_key_pair() {
  auto scalar = p256_generate_private();
  if (!scalar) return std::unexpected(scalar.error());
  auto kem = mlkem768::generate();
  if (!kem) return std::unexpected(kem.error());
  NodeKeyPair node;
  node.mlkem_ek = kem->ek;
  node.mlkem_dk = kem->dk;
  return with_p256(std::move(node), scalar->span());
}

std::expected<NodeKeyPair, PellucorError> node_key_pair_from_seeds(std::span<const std::uint8_t, 32> p256_private,
                                                                    std::span<const std::uint8_t, 64> mlkem_seed) {
  NodeKeyPair node;
  mlkem768::keygen_derand(mlkem_seed, node.mlkem_ek, node.mlkem_dk.span());
  return with_p256(std::move(node), p256_private);
}

struct ResponderInternals {
  static ResponderHandshake make() noexcept { return ResponderHandshake(); }
  static SymmetricState& sym(ResponderHandshake& h) noexcept { return h.sym_; }
  static std::array<std::uint8_t, 65>& e(ResponderHandshake& h) noexcept { return h.initiator_e_; }
  static std::array<std::uint8_t, 65>& s(ResponderHandshake& h) noexcept { return h.initiator_s_; }
};

ResponderHandshake::ResponderHandshake() noexcept : sym_(noise_initialise()) {}

ResponderHandshake::ResponderHandshake(ResponderHandshake&& other) noexcept
    : sym_(other.sym_), initiator_e_(other.initiator_e_), initiator_s_(other.initiator_s_) {
  other.wipe();
}

ResponderHandshake::~ResponderHandshake() { wipe(); }

void ResponderHandshake::wipe() noexcept { wipe_symmetric_state(sym_); }

std::span<const std::uint8_t, 32> ResponderHandshake::handshake_hash() const noexcept { return sym_.h; }

std::expected<ResponderRead, PellucorError> read_handshake_message1(const NodeKeyPair& node,
                                                                    std::span<const std::uint8_t> message1) {
  if (message1.size() < HANDSHAKE_MESSAGE1_OVERHEAD) return std::unexpected(err::PL_0010);
  ResponderHandshake hs = ResponderInternals::make();
  SymmetricState& sym = ResponderInternals::sym(hs);

  noise_mix_hash(sym, as_bytes(NOISE_PROLOGUE));
  noise_mix_hash(sym, node.channel_key());

  // e
  const auto e_pub = message1.first(kPoint);
  std::copy(e_pub.begin(), e_pub.end(), ResponderInternals::e(hs).begin());
  noise_mix_hash(sym, e_pub);

  // es, from the node's side
  {
    auto dh = p256_ecdh(node.p256_private.span(), e_pub);
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }

  // KEM: implicit rejection turns a forged ciphertext into a wrong key.
  const auto kem_ct = message1.subspan(kPoint, kKemCt);
  {
    auto ss = mlkem768::decapsulate(node.mlkem_dk.span(), kem_ct);
    if (!ss) return std::unexpected(ss.error());
    noise_mix_hash(sym, kem_ct);
    noise_mix_key(sym, ss->span());
  }

  // s
  auto s_pub = noise_decrypt_and_hash(sym, message1.subspan(kPoint + kKemCt, kCs));
  if (!s_pub) return std::unexpected(s_pub.error());
  if (s_pub->size() != kPoint) return std::unexpected(err::PL_0027);
  std::copy(s_pub->begin(), s_pub->end(), ResponderInternals::s(hs).begin());

  // ss
  {
    auto dh = p256_ecdh(node.p256_private.span(), *s_pub);
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }

  auto payload = noise_decrypt_and_hash(sym, message1.subspan(kPoint + kKemCt + kCs));
  if (!payload) return std::unexpected(payload.error());
  return ResponderRead{std::move(hs), std::move(*payload)};
}

std::expected<std::vector<std::uint8_t>, PellucorError> write_handshake_message2(
    ResponderHandshake&& state, std::span<const std::uint8_t> reply,
    std::optional<std::span<const std::uint8_t, 32>> ephemeral) {
  ResponderHandshake hs(std::move(state));
  SymmetricState& sym = ResponderInternals::sym(hs);

  SecureArray<32> re;
  if (ephemeral) {
    re = SecureArray<32>(*ephemeral);
  } else {
    auto drawn = p256_generate_private();
    if (!drawn) return std::unexpected(drawn.error());
    re = *drawn;
  }
  auto re_pub = p256_public_from_private(re.span());
  if (!re_pub) return std::unexpected(re_pub.error());

  noise_mix_hash(sym, *re_pub);

  // ee
  {
    auto dh = p256_ecdh(re.span(), ResponderInternals::e(hs));
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }
  // se, from the node's side
  {
    auto dh = p256_ecdh(re.span(), ResponderInternals::s(hs));
    if (!dh) return std::unexpected(dh.error());
    noise_mix_key(sym, dh->span());
  }

  auto sealed = noise_encrypt_and_hash(sym, reply);
  if (!sealed) return std::unexpected(sealed.error());
  std::vector<std::uint8_t> message2;
  message2.reserve(kPoint + sealed->size());
  message2.insert(message2.end(), re_pub->begin(), re_pub->end());
  message2.insert(message2.end(), sealed->begin(), sealed->end());
  return message2;
}

std::expected<std::vector<std::uint8_t>, PellucorError> seal_for_another_handshake(
    const NodeKeyPair& node, std::span<const std::uint8_t> reply) {
  auto s = p256_generate_private();
  if (!s) return std::unexpected(s.error());
  static constexpr std::uint8_t kRequest[] = {0x10, '{', '}'};
  auto other = write_handshake_message1(node.channel_key(), s->span(), kRequest);
  if (!other) return std::unexpected(err::PL_0005);
  auto read = read_handshake_message1(node, other->message1);
  if (!read) return std::unexpected(read.error());
  return write_handshake_message2(std::move(read->state), reply);
}

Responder noise_responder(std::shared_ptr<const NodeKeyPair> node) {
  return [node](std::span<const std::uint8_t> message1) -> std::optional<ResponderSession> {
    auto read = read_handshake_message1(*node, message1);
    if (!read) return std::nullopt;
    // The session must be copyable; the state it seals with is shared.
    auto state = std::make_shared<std::optional<ResponderHandshake>>(std::move(read->state));
    ResponderSession session;
    session.request_payload.assign(read->payload.begin(), read->payload.end());
    session.seal_reply = [state](std::span<const std::uint8_t> reply) {
      std::vector<std::uint8_t> message2;
      if (state->has_value()) {
        auto sealed = write_handshake_message2(std::move(**state), reply);
        state->reset();
        if (sealed) message2 = std::move(*sealed);
      }
      return message2;
    };
    session.seal_for_another_handshake = [node](std::span<const std::uint8_t> reply) {
      auto sealed = seal_for_another_handshake(*node, reply);
      return sealed ? std::move(*sealed) : std::vector<std::uint8_t>{};
    };
    return session;
  };
}

}  // namespace pellucor::testing
