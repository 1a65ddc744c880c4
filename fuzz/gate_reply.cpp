// decode_gate_reply over arbitrary reply plaintexts. Besides not crashing:
// the plaintext is zeroed on every path, an accepted reply agrees with what
// the tree parser reads from the same text, and a gate error is one line.
#include <algorithm>
#include <string>

#include "fuzz_common.h"
#include "gate/framing.h"
#include "gate/json.h"
#include "gate/vault_text.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  SecureBytes plaintext(data, data + size);
  auto reply = decode_gate_reply(std::move(plaintext));
  FUZZ_CHECK(plaintext.size() == size);
  FUZZ_CHECK(std::all_of(plaintext.begin(), plaintext.end(), [](std::uint8_t b) { return b == 0; }));

  const bool gate_error = !reply && reply.error().message.starts_with("gate error ");
  if (!reply && !gate_error) return 0;  // malformed: nothing more to compare

  // The reply was read, so it is framed JSON without repeated keys; the tree
  // parser must read the same document.
  FUZZ_CHECK(size >= 1 && data[0] == GATE_FRAME_MARKER);
  auto tree = json::parse(std::span<const std::uint8_t>(data + 1, size - 1));
  FUZZ_CHECK(tree.has_value());
  FUZZ_CHECK(tree->is_object() && tree->contains("ok") && (*tree)["ok"].is_boolean());
  const bool ok = (*tree)["ok"].get<bool>();
  FUZZ_CHECK(ok == reply.has_value());
  if (reply) {
    const json::Value result = tree->contains("result") ? (*tree)["result"] : json::Value(nullptr);
    FUZZ_CHECK(*reply == result);
    FUZZ_CHECK(json::is_writable(*reply));
    return 0;
  }
  const json::Value* error = tree->contains("error") ? &(*tree)["error"] : nullptr;
  if (error == nullptr || error->is_null()) {
    FUZZ_CHECK(reply.error().message == "gate error UNKNOWN: no detail");
  } else {
    // The vault's code and message, kept to the one error line.
    FUZZ_CHECK(reply.error().message == "gate error " + single_line_text((*error)["code"].get<std::string>()) +
                                            ": " + single_line_text((*error)["message"].get<std::string>()));
  }
  FUZZ_CHECK(reply.error().message.find_first_of("\t\n\r") == std::string::npos);
  return 0;
}
