#include "gate/handshake.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/p256.h"
#include "gate/transport.h"
#include "tests/support/noise_responder.h"
#include "tests/support/test_gate.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::NodeKeyPair;

Bytes from_hex(const std::string& hex) { return testing::unhex(hex); }

template <std::size_t N>
std::array<std::uint8_t, N> fixed(const std::string& hex) {
  Bytes b = from_hex(hex);
  std::array<std::uint8_t, N> out{};
  EXPECT_EQ(b.size(), N);
  std::copy_n(b.begin(), std::min(N, b.size()), out.begin());
  return out;
}

Bytes to_vector(std::span<const std::uint8_t> s) { return Bytes(s.begin(), s.end()); }

std::string expected_wrap(std::string_view context, const PellucorError& inner) {
  return std::string(context) + format_pellucor_error_debug(inner);
}

// ---------------------------------------------------------------------------
// Transcripts from an independent implementation.

class HandshakeTranscript : public ::testing::Test {
 protected:
  void SetUp() override {
    auto doc = testing::load_vector_json("interop/handshake.json");
    ASSERT_TRUE(doc.has_value()) << doc.error();
    doc_ = std::move(*doc);
    ASSERT_TRUE(doc_.contains("cases"));
    ASSERT_FALSE(doc_["cases"].empty());
  }

  std::string node(const char* key) const { return doc_["node"][key].get<std::string>(); }

  NodeKeyPair node_keys() const {
    auto scalar = fixed<32>(node("p256_priv"));
    auto seed = fixed<64>(node("mlkem_seed"));
    auto keys = testing::node_key_pair_from_seeds(scalar, seed);
    EXPECT_TRUE(keys.has_value());
    return std::move(*keys);
  }

  nlohmann::json doc_;
};

std::string field(const nlohmann::json& c, const char* key) { return c[key].get<std::string>(); }

TEST_F(HandshakeTranscript, NodeKeysRebuildFromSeeds) {
  NodeKeyPair keys = node_keys();
  EXPECT_EQ(to_vector(keys.p256_public), from_hex(node("p256_pub")));
  EXPECT_EQ(to_vector(keys.mlkem_ek), from_hex(node("mlkem_ek")));
  EXPECT_EQ(to_vector(keys.mlkem_dk.span()), from_hex(node("mlkem_dk")));
  EXPECT_EQ(keys.channel_key_hex(), node("channel_key"));
}

TEST_F(HandshakeTranscript, InitiatorWritesMessage1AndOpensMessage2) {
  const Bytes rs = from_hex(node("channel_key"));
  for (const auto& c : doc_["cases"]) {
    SCOPED_TRACE(field(c, "request_action"));
    const Bytes payload = from_hex(field(c, "framed_payload"));
    auto started = write_handshake_message1_seeded(rs, fixed<32>(field(c, "initiator_static_priv")), payload,
                                                   fixed<32>(field(c, "initiator_ephemeral_priv")),
                                                   fixed<32>(field(c, "kem_encaps_randomness")));
    ASSERT_TRUE(started.has_value()) << format_cli_error(started.error());
    const Bytes msg1 = from_hex(field(c, "msg1"));
    EXPECT_EQ(started->message1.size(), payload.size() + HANDSHAKE_MESSAGE1_OVERHEAD);
    EXPECT_EQ(Bytes(started->message1.begin() + 65, started->message1.begin() + 1153),
              from_hex(field(c, "kem_ciphertext")));
    EXPECT_EQ(started->message1, msg1);
    EXPECT_EQ(base64_encode(started->message1), field(c, "msg1_base64"));
    EXPECT_EQ(to_vector(started->state.handshake_hash()), from_hex(field(c, "h_after_msg1")));

    // Message 2 as the gate sends it: base64 text in the HTTP body.
    auto msg2 = base64_decode(field(c, "msg2_base64"));
    ASSERT_TRUE(msg2.has_value());
    EXPECT_EQ(to_vector(*msg2), from_hex(field(c, "msg2")));
    auto reply = read_handshake_message2(std::move(started->state), *msg2);
    ASSERT_TRUE(reply.has_value()) << format_cli_error(reply.error());
    EXPECT_EQ(to_vector(*reply), from_hex(field(c, "reply_plaintext")));
  }
}

TEST_F(HandshakeTranscript, ResponderReadsMessage1AndWritesTheSameMessage2) {
  const NodeKeyPair keys = node_keys();
  for (const auto& c : doc_["cases"]) {
    SCOPED_TRACE(field(c, "request_action"));
    auto read = testing::read_handshake_message1(keys, from_hex(field(c, "msg1")));
    ASSERT_TRUE(read.has_value()) << format_pellucor_error_debug(read.error());
    EXPECT_EQ(to_vector(read->payload), from_hex(field(c, "framed_payload")));
    EXPECT_EQ(to_vector(read->state.handshake_hash()), from_hex(field(c, "h_after_msg1")));

    const auto s_priv = fixed<32>(field(c, "initiator_static_priv"));
    auto s_pub = p256_public_from_private(s_priv);
    ASSERT_TRUE(s_pub.has_value());
    EXPECT_EQ(to_vector(read->state.initiator_static()), to_vector(*s_pub));

    const auto re = fixed<32>(field(c, "responder_ephemeral_priv"));
    auto msg2 = testing::write_handshake_message2(std::move(read->state), from_hex(field(c, "reply_plaintext")),
                                                  std::span<const std::uint8_t, 32>(re));
    ASSERT_TRUE(msg2.has_value()) << format_pellucor_error_debug(msg2.error());
    EXPECT_EQ(*msg2, from_hex(field(c, "msg2")));
    EXPECT_EQ(base64_encode(*msg2), field(c, "msg2_base64"));
  }
}

// ---------------------------------------------------------------------------
// Round trips with fresh keys.

class HandshakeRoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto keys = testing::generate_node_key_pair();
    ASSERT_TRUE(keys.has_value()) << format_pellucor_error_debug(keys.error());
    node_ = new NodeKeyPair(std::move(*keys));
  }
  static void TearDownTestSuite() {
    delete node_;
    node_ = nullptr;
  }

  static SecureArray<32> fresh_static() {
    auto s = p256_generate_private();
    EXPECT_TRUE(s.has_value());
    return *s;
  }

  // Runs message 1 and the node's read of it; returns the client's state, the
  // node's state and message 1.
  struct Opened {
    HandshakeStart client;
    testing::ResponderRead node;
  };
  static Opened open(std::span<const std::uint8_t> payload) {
    const SecureArray<32> s = fresh_static();
    auto started = write_handshake_message1(node_->channel_key(), s.span(), payload);
    EXPECT_TRUE(started.has_value()) << format_cli_error(started.error());
    auto read = testing::read_handshake_message1(*node_, started->message1);
    EXPECT_TRUE(read.has_value()) << format_pellucor_error_debug(read.error());
    return Opened{std::move(*started), std::move(*read)};
  }

  static NodeKeyPair* node_;
};

NodeKeyPair* HandshakeRoundTrip::node_ = nullptr;

TEST_F(HandshakeRoundTrip, RequestAndReplyCrossIntact) {
  const Bytes request = {0x10, '{', '"', 'a', '"', ':', '1', '}'};
  const Bytes reply = {0x10, '{', '"', 'o', 'k', '"', ':', 't', 'r', 'u', 'e', '}'};
  Opened o = open(request);
  EXPECT_EQ(o.client.message1.size(), request.size() + 1250);
  EXPECT_EQ(to_vector(o.node.payload), request);
  EXPECT_EQ(to_vector(o.node.state.handshake_hash()), to_vector(o.client.state.handshake_hash()));

  auto msg2 = testing::write_handshake_message2(std::move(o.node.state), reply);
  ASSERT_TRUE(msg2.has_value());
  auto opened = read_handshake_message2(std::move(o.client.state), *msg2);
  ASSERT_TRUE(opened.has_value()) << format_cli_error(opened.error());
  EXPECT_EQ(to_vector(*opened), reply);
}

TEST_F(HandshakeRoundTrip, TwoCallsShareNoEphemeralStaticOrHash) {
  const Bytes request = {0x10};
  Opened a = open(request);
  Opened b = open(request);
  ASSERT_EQ(a.client.message1.size(), 1251u);
  ASSERT_EQ(b.client.message1.size(), 1251u);
  auto slice = [](const Bytes& m, std::size_t from, std::size_t to) { return Bytes(m.begin() + from, m.begin() + to); };
  EXPECT_NE(slice(a.client.message1, 0, 65), slice(b.client.message1, 0, 65));          // e_pub
  EXPECT_NE(slice(a.client.message1, 65, 1153), slice(b.client.message1, 65, 1153));    // kem_ct
  EXPECT_NE(slice(a.client.message1, 1153, 1234), slice(b.client.message1, 1153, 1234));  // c_s
  EXPECT_NE(to_vector(a.client.state.handshake_hash()), to_vector(b.client.state.handshake_hash()));
}

TEST_F(HandshakeRoundTrip, ShortestMessage2OpensToAnEmptyReply) {
  Opened o = open(Bytes{0x10});
  auto msg2 = testing::write_handshake_message2(std::move(o.node.state), Bytes{});
  ASSERT_TRUE(msg2.has_value());
  ASSERT_EQ(msg2->size(), 81u);
  auto opened = read_handshake_message2(std::move(o.client.state), *msg2);
  ASSERT_TRUE(opened.has_value()) << format_cli_error(opened.error());
  EXPECT_TRUE(opened->empty());
}

// Each case takes an honest message 2 (or none) and turns it into what the
// client is handed; the client must refuse it with the given inner record.
struct Message2Fault {
  const char* name;
  std::function<Bytes(Bytes honest)> mangle;
  std::vector<const PellucorError*> inner;  // any of these
};

TEST_F(HandshakeRoundTrip, BrokenMessage2IsRefused) {
  const Bytes reply = {0x10, '{', '"', 'o', 'k', '"', ':', 't', 'r', 'u', 'e', '}'};
  auto flip = [](std::size_t at) {
    return [at](Bytes m) {
      m[at] ^= 0x01;
      return m;
    };
  };
  const std::vector<Message2Fault> cases = {
      {"empty", [](Bytes) { return Bytes{}; }, {&err::PL_0010}},
      {"80 bytes", [](Bytes m) { return Bytes(m.begin(), m.begin() + 80); }, {&err::PL_0010}},
      {"truncated tag", [](Bytes m) { m.pop_back(); return m; }, {&err::PL_0003}},
      {"extra byte", [](Bytes m) { m.push_back(0); return m; }, {&err::PL_0003}},
      {"flip after the point", flip(65), {&err::PL_0003}},
      {"flip in the tag", [](Bytes m) { m.back() ^= 0x80; return m; }, {&err::PL_0003}},
      {"flip in re", flip(40), {&err::PL_0027, &err::PL_0003}},
      {"re not a point", [](Bytes m) { m[0] = 0x05; return m; }, {&err::PL_0027}},
      {"sealed for another handshake",
       [&reply](Bytes) {
         auto other = testing::seal_for_another_handshake(*node_, reply);
         EXPECT_TRUE(other.has_value());
         return other.value_or(Bytes{});
       },
       {&err::PL_0003}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Opened o = open(Bytes{0x10, '{', '}'});
    auto honest = testing::write_handshake_message2(std::move(o.node.state), reply);
    ASSERT_TRUE(honest.has_value());
    auto opened = read_handshake_message2(std::move(o.client.state), c.mangle(*honest));
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().error.code, "PL-2047");
    bool matched = false;
    for (const PellucorError* inner : c.inner) matched |= opened.error().message == expected_wrap("open msg2: ", *inner);
    EXPECT_TRUE(matched) << opened.error().message;
  }
}

TEST_F(HandshakeRoundTrip, ReplyFromAnotherCallIsRefused) {
  Opened mine = open(Bytes{0x10});
  Opened theirs = open(Bytes{0x10});
  auto msg2 = testing::write_handshake_message2(std::move(theirs.node.state), Bytes{0x10, '{', '}'});
  ASSERT_TRUE(msg2.has_value());
  auto opened = read_handshake_message2(std::move(mine.client.state), *msg2);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().message, expected_wrap("open msg2: ", err::PL_0003));
}

// The node refuses a tampered message 1; a forged KEM ciphertext is not
// detected by the KEM (implicit rejection) but by the first tag after it.
TEST_F(HandshakeRoundTrip, NodeRefusesBrokenMessage1) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> mangle;
    const PellucorError* inner;
  };
  const std::vector<Case> cases = {
      {"short", [](Bytes& m) { m.resize(1249); }, &err::PL_0010},
      {"e_pub off the curve", [](Bytes& m) { m[64] ^= 0x01; }, &err::PL_0027},
      {"forged KEM ciphertext", [](Bytes& m) { m[100] ^= 0x01; }, &err::PL_0003},
      {"tampered c_s", [](Bytes& m) { m[1160] ^= 0x01; }, &err::PL_0003},
      {"tampered c_p", [](Bytes& m) { m.back() ^= 0x01; }, &err::PL_0003},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SecureArray<32> s = fresh_static();
    auto started = write_handshake_message1(node_->channel_key(), s.span(), Bytes{0x10, '{', '}'});
    ASSERT_TRUE(started.has_value());
    c.mangle(started->message1);
    auto read = testing::read_handshake_message1(*node_, started->message1);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().code, c.inner->code);
  }
}

// ---------------------------------------------------------------------------
// Unusable node keys: refused before anything could be sent.

TEST_F(HandshakeRoundTrip, UnusableNodeKeyIsRefusedAtMessage1) {
  struct Case {
    const char* name;
    std::function<void(Bytes&)> mangle;
  };
  const std::vector<Case> cases = {
      {"point off the curve", [](Bytes& k) { k[64] ^= 0x01; }},
      {"point with prefix 0x05", [](Bytes& k) { k[0] = 0x05; }},
      {"point at zero", [](Bytes& k) { std::fill(k.begin() + 1, k.begin() + 65, 0); }},
      // The first coefficient of the ML-KEM key set to 4095, above the modulus.
      {"ML-KEM coefficient over the modulus", [](Bytes& k) { k[65] = 0xff; k[66] |= 0x0f; }},
      {"key one byte short", [](Bytes& k) { k.pop_back(); }},
      {"key one byte long", [](Bytes& k) { k.push_back(0); }},
      {"no key", [](Bytes& k) { k.clear(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes rs = node_->channel_key();
    c.mangle(rs);
    const SecureArray<32> s = fresh_static();
    auto started = write_handshake_message1(rs, s.span(), Bytes{0x10});
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().error.code, "PL-2047");
    EXPECT_EQ(started.error().message, expected_wrap("handshake msg1: ", err::PL_0027));
  }
}

TEST_F(HandshakeRoundTrip, UnusableStaticScalarIsRefusedAtMessage1) {
  const std::array<std::uint8_t, 32> zero{};
  std::array<std::uint8_t, 32> all_ones;
  all_ones.fill(0xff);  // above the group order
  for (const auto& s : {zero, all_ones}) {
    auto started = write_handshake_message1(node_->channel_key(), s, Bytes{0x10});
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().message, expected_wrap("handshake msg1: ", err::PL_0027));
  }
}

// ---------------------------------------------------------------------------
// Through the test gate over HTTPS, the way a gate call carries the messages.

class HandshakeThroughTestGate : public HandshakeRoundTrip {
 protected:
  // Sends one framed request to a gate running `fault` and returns what
  // message 2 opens to.
  static std::expected<SecureBytes, CliError> exchange(testing::GateFault fault) {
    testing::TestGateOptions options;
    options.fault = std::move(fault);
    options.responder = testing::noise_responder(std::make_shared<const NodeKeyPair>(*node_));
    options.vault = [](const std::string& action, const nlohmann::json&, const std::string& cred) {
      return testing::VaultReply::success({{"action", action}, {"cred", cred}});
    };
    testing::TestGate gate(std::move(options));

    const std::string request = "\x10{\"action\":\"system.ping\",\"cred\":\"plt_x\"}";
    const SecureArray<32> s = fresh_static();
    auto started = write_handshake_message1(node_->channel_key(), s.span(), as_bytes(request));
    if (!started) return std::unexpected(std::move(started.error()));
    TransportOptions quiet;
    quiet.env = [](std::string_view) -> std::optional<std::string> { return std::nullopt; };
    auto body = gate_http_post(gate.gate_url(), base64_encode(started->message1), quiet);
    if (!body) return std::unexpected(std::move(body.error()));
    auto msg2 = base64_decode(trim_white_space(*body));
    if (!msg2) return std::unexpected(make_error(err::PL_2047, "msg2 not base64"));
    return read_handshake_message2(std::move(started->state), *msg2);
  }
};

TEST_F(HandshakeThroughTestGate, HonestGateAnswersTheRequest) {
  testing::TestGate::trust_test_ca();
  auto reply = exchange(testing::GateFault::none());
  ASSERT_TRUE(reply.has_value()) << format_cli_error(reply.error());
  const std::string text(reply->begin(), reply->end());
  EXPECT_EQ(text, "\x10{\"ok\":true,\"result\":{\"action\":\"system.ping\",\"cred\":\"plt_x\"}}");
}

TEST_F(HandshakeThroughTestGate, ReplySealedForAnotherHandshakeIsRefused) {
  testing::TestGate::trust_test_ca();
  auto reply = exchange(testing::GateFault::of(testing::GateFault::Kind::wrong_handshake));
  ASSERT_FALSE(reply.has_value());
  EXPECT_EQ(reply.error().message, expected_wrap("open msg2: ", err::PL_0003));
}

}  // namespace
}  // namespace pellucor
