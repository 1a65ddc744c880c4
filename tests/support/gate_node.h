// A test gate with a real node behind it: the Noise responder of a node key
// pair plugged into the test gate's responder layer.
#pragma once

#include <memory>

#include "tests/support/noise_responder.h"
#include "tests/support/test_gate.h"

namespace pellucor::testing {

// noise_responder_for opens message 1 with `node`'s keys and seals replies in
// the same handshake (or, when asked, in one the client cannot open).
Responder noise_responder_for(std::shared_ptr<const NodeKeyPair> node);

// shared_node_key_pair: one node key pair per process, drawn on first use.
std::shared_ptr<const NodeKeyPair> shared_node_key_pair();

// node_gate_options: options for a gate that runs the real handshake with
// `node` and answers actions with `vault`.
TestGateOptions node_gate_options(std::shared_ptr<const NodeKeyPair> node, VaultHandler vault = {},
                                  GateFault fault = {});

}  // namespace pellucor::testing
