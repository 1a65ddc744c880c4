// Field encryption under the agent's L2 key, the two keys that seal the
// configuration file, and the decoders of enrolment texts.
//
// A field ciphertext is standard base64 (canonical padding) of
// nonce (12) || AES-256-GCM ciphertext || tag (16), empty associated data,
// under the FieldKey derived from the L2 key and the field's label exactly as
// written (no case folding, no trimming).
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "crypto/errors.h"
#include "crypto/primitives.h"
#include "crypto/secure_buffer.h"

namespace pellucor {

using L2Key = SecureArray<16>;
using FieldKey = SecureArray<32>;
using ConfigKey = SecureArray<16>;

// make_l2_key copies 16 bytes into an L2Key.
L2Key make_l2_key(std::span<const std::uint8_t, 16> bytes);

// derive_field_key returns HKDF-SHA256(ikm = l2, no salt,
// info = "pellucor-field-" || label, 32 bytes).
FieldKey derive_field_key(const L2Key& l2, std::string_view label);

// encrypt_field seals `plaintext` under the label's FieldKey with a fresh
// random nonce and returns the field ciphertext text. PL-0018 when no nonce can
// be drawn, PL-0005 when sealing fails.
std::expected<std::string, PellucorError> encrypt_field(const L2Key& l2, std::string_view label,
                                                        std::span<const std::uint8_t> plaintext);
std::expected<std::string, PellucorError> encrypt_field(const L2Key& l2, std::string_view label,
                                                        std::string_view plaintext);

// encrypt_field_with_nonce is encrypt_field under a given nonce. The program
// never calls it; tests use it to reproduce fixed transcripts.
std::expected<std::string, PellucorError> encrypt_field_with_nonce(
    const L2Key& l2, std::string_view label, std::span<const std::uint8_t> plaintext,
    std::span<const std::uint8_t, kAeadNonceLen> nonce);

// decrypt_field opens a field ciphertext and returns its text. PL-0002 when
// `value` is not canonical standard base64 (taken exactly as given), PL-0010
// when it decodes to fewer than 28 bytes, PL-0003 when the tag does not verify
// (wrong key, wrong label, altered text), PL-0006 when the plaintext is not
// UTF-8.
std::expected<SecureString, PellucorError> decrypt_field(const L2Key& l2, std::string_view label,
                                                         std::string_view value);

// derive_config_enc_key returns the 16-byte AES-128-GCM key of the
// configuration file; derive_config_mac_key its 16-byte HMAC key.
ConfigKey derive_config_enc_key();
ConfigKey derive_config_mac_key();

// decode_base64url_text trims white space, drops trailing "=" and decodes
// base64url without padding (unused bits must be zero). PL-0011 on failure.
std::expected<SecureBytes, PellucorError> decode_base64url_text(std::string_view text);

// decode_hex_16_bytes decodes exactly 32 hex digits of either case (no
// trimming) into 16 bytes. PL-0012 on failure.
std::expected<SecureArray<16>, PellucorError> decode_hex_16_bytes(std::string_view text);

// hex_digit_value returns 0..15 for 0-9, a-f and A-F; PL-0012 otherwise.
std::expected<std::uint8_t, PellucorError> hex_digit_value(char c);

// is_channel_key_text: true exactly for 2498 characters, each 0-9 or a-f.
bool is_channel_key_text(std::string_view text) noexcept;

}  // namespace pellucor
