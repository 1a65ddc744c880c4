#include "crypto/field_keys.h"

#include <algorithm>
#include <array>
#include <vector>

#include "crypto/encoding.h"

namespace pellucor {
namespace {

constexpr std::string_view kFieldInfoPrefix = "pellucor-field-";
// The fixed input of both configuration keys: the file is sealed against
// casual reading and tampering, not against someone who has this program.
constexpr std::string_view kConfigKeyInput = "norbeki-rq7-";
constexpr std::size_t kChannelKeyTextLen = 2498;

ConfigKey derive_config_key(std::string_view info) {
  SecureBytes out = hkdf_sha256(as_bytes(kConfigKeyInput), std::nullopt, as_bytes(info), ConfigKey::size());
  return ConfigKey(std::span<const std::uint8_t, 16>(out.data(), 16));
}

}  // namespace

L2Key make_l2_key(std::span<const std::uint8_t, 16> bytes) { return L2Key(bytes); }

FieldKey derive_field_key(const L2Key& l2, std::string_view label) {
  // Labels are short; the info string is assembled on the stack when it fits.
  constexpr std::size_t kStackInfo = 80;
  std::array<std::uint8_t, kStackInfo> small;
  std::vector<std::uint8_t> large;
  const std::size_t info_len = kFieldInfoPrefix.size() + label.size();
  std::uint8_t* info = small.data();
  if (info_len > kStackInfo) {
    large.resize(info_len);
    info = large.data();
  }
  std::copy(kFieldInfoPrefix.begin(), kFieldInfoPrefix.end(), info);
  std::copy(label.begin(), label.end(), info + kFieldInfoPrefix.size());
  SecureBytes out = hkdf_sha256(l2.span(), std::nullopt, std::span<const std::uint8_t>(info, info_len),
                                FieldKey::size());
  return FieldKey(std::span<const std::uint8_t, 32>(out.data(), 32));
}

std::expected<std::string, PellucorError> encrypt_field(const L2Key& l2, std::string_view label,
                                                        std::span<const std::uint8_t> plaintext) {
  const FieldKey key = derive_field_key(l2, label);
  auto sealed = seal_random_nonce(key.span(), plaintext);
  if (!sealed) return std::unexpected(sealed.error());
  return base64_encode(*sealed);
}

std::expected<std::string, PellucorError> encrypt_field(const L2Key& l2, std::string_view label,
                                                        std::string_view plaintext) {
  return encrypt_field(l2, label, as_bytes(plaintext));
}

std::expected<std::string, PellucorError> encrypt_field_with_nonce(
    const L2Key& l2, std::string_view label, std::span<const std::uint8_t> plaintext,
    std::span<const std::uint8_t, kAeadNonceLen> nonce) {
  const FieldKey key = derive_field_key(l2, label);
  auto sealed = seal_with_nonce(key.span(), nonce, plaintext);
  if (!sealed) return std::unexpected(sealed.error());
  return base64_encode(*sealed);
}

std::expected<SecureString, PellucorError> decrypt_field(const L2Key& l2, std::string_view label,
                                                         std::string_view value) {
  auto blob = base64_decode(value);
  if (!blob) return std::unexpected(err::PL_0002);
  const FieldKey key = derive_field_key(l2, label);
  auto plain = decrypt_nonce_prefixed(key.span(), *blob);
  if (!plain) return std::unexpected(plain.error());
  if (!is_valid_utf8(*plain)) return std::unexpected(err::PL_0006);
  return SecureString(reinterpret_cast<const char*>(plain->data()), plain->size());
}

ConfigKey derive_config_enc_key() { return derive_config_key("key"); }

ConfigKey derive_config_mac_key() { return derive_config_key("hmac"); }

std::expected<SecureBytes, PellucorError> decode_base64url_text(std::string_view text) {
  std::string_view t = trim_white_space(text);
  while (!t.empty() && t.back() == '=') t.remove_suffix(1);
  auto bytes = base64url_decode(t);
  if (!bytes) return std::unexpected(err::PL_0011);
  return std::move(*bytes);
}

std::expected<SecureArray<16>, PellucorError> decode_hex_16_bytes(std::string_view text) {
  if (text.size() != 32) return std::unexpected(err::PL_0012);
  auto bytes = hex_decode(text, HexCase::Any);
  if (!bytes) return std::unexpected(err::PL_0012);
  return SecureArray<16>(std::span<const std::uint8_t, 16>(bytes->data(), 16));
}

std::expected<std::uint8_t, PellucorError> hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  return std::unexpected(err::PL_0012);
}

bool is_channel_key_text(std::string_view text) noexcept {
  if (text.size() != kChannelKeyTextLen) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace pellucor
