#include "tests/support/gate_node.h"

#include <cstdio>
#include <cstdlib>

namespace pellucor::testing {

Responder noise_responder_for(std::shared_ptr<const NodeKeyPair> node) {
  return [node](std::span<const std::uint8_t> message1) -> std::optional<ResponderSession> {
    auto read = read_handshake_message1(*node, message1);
    if (!read) return std::nullopt;
    auto state = std::make_shared<std::optional<ResponderHandshake>>(std::move(read->state));
    ResponderSession session;
    session.request_payload.assign(read->payload.begin(), read->payload.end());
    session.seal_reply = [state](std::span<const std::uint8_t> reply, bool for_another_handshake) {
      auto sealed = write_handshake_message2(std::move(**state), reply, std::nullopt,
                                             for_another_handshake ? ReplySeal::WrongHandshake : ReplySeal::Honest);
      state->reset();
      return sealed ? std::move(*sealed) : std::vector<std::uint8_t>{};
    };
    return session;
  };
}

std::shared_ptr<const NodeKeyPair> shared_node_key_pair() {
  static const std::shared_ptr<const NodeKeyPair> node = [] {
    auto pair = generate_node_key_pair();
    if (!pair) {
      std::fprintf(stderr, "test gate: cannot draw a node key pair\n");
      std::abort();
    }
    return std::make_shared<const NodeKeyPair>(std::move(*pair));
  }();
  return node;
}

TestGateOptions node_gate_options(std::shared_ptr<const NodeKeyPair> node, VaultHandler vault, GateFault fault) {
  TestGateOptions o;
  o.responder = noise_responder_for(std::move(node));
  o.vault = std::move(vault);
  o.fault = std::move(fault);
  return o;
}

}  // namespace pellucor::testing
