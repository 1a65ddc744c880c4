// read_handshake_message2 after a real message 1, in two ways chosen by the
// first input byte:
//   even: the rest of the input is message 2 as it came off the wire;
//   odd:  the rest is a reply plaintext that the node seals honestly; the
//         client must open exactly that plaintext, and must refuse the same
//         message with one bit flipped (the bit chosen from the input).
// Every call's keys and randomness are fixed, so a finding replays exactly.
#include <algorithm>
#include <array>

#include "crypto/primitives.h"
#include "fuzz_common.h"
#include "gate/handshake.h"
#include "tests/support/noise_responder.h"

using namespace pellucor;

namespace {

template <std::size_t N>
constexpr std::array<std::uint8_t, N> filled(std::uint8_t first) {
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

// P-256 scalars well inside the group order.
constexpr auto kNodeScalar = filled<32>(0x11);
constexpr auto kNodeKemSeed = filled<64>(0x21);
constexpr auto kClientStatic = filled<32>(0x31);
constexpr auto kClientEphemeral = filled<32>(0x41);
constexpr auto kKemRandomness = filled<32>(0x51);
constexpr auto kNodeEphemeral = filled<32>(0x61);
constexpr std::uint8_t kRequest[] = {0x10, '{', '"', 'a', 'c', 't', 'i', 'o', 'n', '"', ':',
                                     '"', 's', 'y', 's', 't', 'e', 'm', '.', 'p', 'i', 'n', 'g', '"', '}'};

const testing::NodeKeyPair& node() {
  static const testing::NodeKeyPair keys = [] {
    auto k = testing::node_key_pair_from_seeds(kNodeScalar, kNodeKemSeed);
    FUZZ_CHECK(k.has_value());
    return std::move(*k);
  }();
  return keys;
}

HandshakeStart start() {
  auto hs = write_handshake_message1_seeded(node().channel_key(), kClientStatic, kRequest, kClientEphemeral,
                                            kKemRandomness);
  FUZZ_CHECK(hs.has_value());
  FUZZ_CHECK(hs->message1.size() == sizeof kRequest + HANDSHAKE_MESSAGE1_OVERHEAD);
  return std::move(*hs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);

  if ((data[0] & 1) == 0) {
    HandshakeStart hs = start();
    auto opened = read_handshake_message2(std::move(hs.state), rest);
    if (opened) {
      FUZZ_CHECK(rest.size() == opened->size() + HANDSHAKE_MESSAGE2_MIN_BYTES);
    } else {
      FUZZ_CHECK(opened.error().message.starts_with("open msg2: "));
    }
    return 0;
  }

  // The node reads message 1 and seals the reply.
  std::vector<std::uint8_t> message2;
  {
    HandshakeStart hs = start();
    auto read = testing::read_handshake_message1(node(), hs.message1);
    FUZZ_CHECK(read.has_value());
    FUZZ_CHECK(std::equal(read->payload.begin(), read->payload.end(), std::begin(kRequest), std::end(kRequest)));
    FUZZ_CHECK(std::ranges::equal(read->state.handshake_hash(), hs.state.handshake_hash()));
    auto sealed = testing::write_handshake_message2(std::move(read->state), rest,
                                                    std::span<const std::uint8_t, 32>(kNodeEphemeral));
    FUZZ_CHECK(sealed.has_value());
    message2 = std::move(*sealed);

    auto opened = read_handshake_message2(std::move(hs.state), message2);
    FUZZ_CHECK(opened.has_value());
    FUZZ_CHECK(std::equal(opened->begin(), opened->end(), rest.begin(), rest.end()));
  }

  // One flipped bit anywhere, point or ciphertext or tag, must be refused.
  std::size_t pick = 0;
  for (std::size_t i = 1; i < size && i < 9; ++i) pick = pick * 256 + data[i];
  const std::size_t bit = pick % (message2.size() * 8);
  message2[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  HandshakeStart hs = start();
  auto forged = read_handshake_message2(std::move(hs.state), message2);
  FUZZ_CHECK(!forged.has_value());
  return 0;
}
