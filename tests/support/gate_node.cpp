#include "tests/support/gate_node.h"

#include <cstdio>
#include <cstdlib>

namespace pellucor::testing {

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
  o.responder = noise_responder(std::move(node));
  o.vault = std::move(vault);
  o.fault = std::move(fault);
  return o;
}

}  // namespace pellucor::testing
