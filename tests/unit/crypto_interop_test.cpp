// The core's primitives against transcripts made by an independent
// implementation: the enrolment blob (base64url, AES-256-GCM) and the
// credential envelope (HKDF, AES-128-GCM under a fixed nonce).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "crypto/primitives.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

using testing::unhex;
using Bytes = std::vector<std::uint8_t>;

TEST(CryptoInterop, EnrolmentBlobOpensToItsJson) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/enrolment.json");
  auto key = decode_base64url_text(doc["key"].get<std::string>());
  ASSERT_TRUE(key);
  ASSERT_EQ(key->size(), 32u);
  auto blob = decode_base64url_text(doc["blob"].get<std::string>());
  ASSERT_TRUE(blob);
  EXPECT_EQ(Bytes(blob->begin(), blob->begin() + 12), unhex(doc["nonce"]));
  auto json = decrypt_nonce_prefixed(*key, *blob);
  ASSERT_TRUE(json) << json.error().code;
  EXPECT_EQ(std::string(json->begin(), json->end()), doc["blob_json"].get<std::string>());
  // Sealing the JSON again under the recorded nonce gives the same blob text.
  const std::string text = doc["blob_json"];
  const Bytes nonce = unhex(doc["nonce"]);
  auto again = seal_with_nonce(*key, std::span<const std::uint8_t, 12>(nonce.data(), 12), as_bytes(text));
  ASSERT_TRUE(again);
  EXPECT_EQ(base64url_encode(*again), doc["blob"].get<std::string>());
}

TEST(CryptoInterop, CredentialEnvelopeKeyAndSeal) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/credential.json");
  const Bytes vault_id = unhex(doc["vault_id"]);  // 8 bytes, big-endian
  const Bytes agent_id = unhex(doc["agent_id"]);
  const Bytes l2 = unhex(doc["l2"]);
  Bytes plaintext(l2.begin(), l2.begin() + 8);  // the L1 key
  plaintext.insert(plaintext.end(), agent_id.begin(), agent_id.end());
  for (const auto& c : doc["cases"]) {
    const SecureBytes key = hkdf_sha256(vault_id, std::nullopt, as_bytes("plt-envelope"), 16);
    EXPECT_EQ(Bytes(key.begin(), key.end()), unhex(c["envelope_key"]));
    const Bytes nonce = unhex(c["nonce"]);
    auto sealed = seal_with_nonce(key, std::span<const std::uint8_t, 12>(nonce.data(), 12), plaintext);
    ASSERT_TRUE(sealed);
    const Bytes envelope = unhex(c["envelope"]);
    ASSERT_EQ(envelope.size(), 9 + sealed->size());
    EXPECT_EQ(Bytes(envelope.begin() + 9, envelope.end()), *sealed);
    const std::string credential = c["credential"];
    EXPECT_EQ(credential.substr(4, 86 - 4), base64url_encode(envelope));
  }
}

}  // namespace
}  // namespace pellucor
