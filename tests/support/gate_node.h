// A test gate with a real node behind it, for tests that make whole gate calls.
#pragma once

#include <memory>

#include "tests/support/noise_responder.h"
#include "tests/support/test_gate.h"

namespace pellucor::testing {

// shared_node_key_pair: one node key pair per process, drawn on first use.
std::shared_ptr<const NodeKeyPair> shared_node_key_pair();

// node_gate_options: options for a gate that runs the real handshake with
// `node` and answers actions with `vault`, bent by `fault`.
TestGateOptions node_gate_options(std::shared_ptr<const NodeKeyPair> node, VaultHandler vault = {},
                                  GateFault fault = {});

}  // namespace pellucor::testing
