#include "crypto/field_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

using testing::unhex;
using Bytes = std::vector<std::uint8_t>;

template <std::size_t N>
Bytes to_vec(const SecureArray<N>& a) { return Bytes(a.begin(), a.end()); }

L2Key l2_from_hex(const std::string& hex) {
  const Bytes b = unhex(hex);
  return make_l2_key(std::span<const std::uint8_t, 16>(b.data(), 16));
}

const L2Key kL2 = l2_from_hex("000102030405060708090a0b0c0d0e0f");

TEST(FieldInterop, TranscriptKeysAndCiphertexts) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/field.json");
  const L2Key l2 = l2_from_hex(doc["l2"]);
  ASSERT_FALSE(doc["cases"].empty());
  for (const auto& c : doc["cases"]) {
    const std::string label = c["label"];
    const std::string plaintext = c["plaintext"];
    const std::string value = c["value"];
    SCOPED_TRACE(label);
    EXPECT_EQ(to_vec(derive_field_key(l2, label)), unhex(c["field_key"]));
    const Bytes nonce = unhex(c["nonce"]);
    auto sealed = encrypt_field_with_nonce(l2, label, as_bytes(plaintext),
                                           std::span<const std::uint8_t, 12>(nonce.data(), 12));
    ASSERT_TRUE(sealed);
    EXPECT_EQ(*sealed, value);
    auto opened = decrypt_field(l2, label, value);
    ASSERT_TRUE(opened) << opened.error().code;
    EXPECT_EQ(opened->view(), plaintext);
  }
}

TEST(ConfigKeysInterop, TranscriptKeys) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/config.json");
  EXPECT_EQ(to_vec(derive_config_enc_key()), unhex(doc["enc_key"]));
  EXPECT_EQ(to_vec(derive_config_mac_key()), unhex(doc["mac_key"]));
  // The sealed part of each file (from byte 20) opens under the encryption key
  // to the JSON text.
  for (const auto& c : doc["cases"]) {
    const Bytes file = unhex(c["file"]);
    ASSERT_GT(file.size(), 48u);
    const ConfigKey enc = derive_config_enc_key();
    auto json = decrypt_nonce_prefixed(enc.span(), std::span<const std::uint8_t>(file).subspan(20));
    ASSERT_TRUE(json) << json.error().code;
    EXPECT_EQ(std::string(json->begin(), json->end()), c["json"].get<std::string>());
  }
}

TEST(FieldKeys, ConfigKeysDifferAndAreStable) {
  EXPECT_EQ(to_vec(derive_config_enc_key()), to_vec(derive_config_enc_key()));
  EXPECT_NE(to_vec(derive_config_enc_key()), to_vec(derive_config_mac_key()));
}

TEST(FieldKeys, LabelIsTakenByteForByte) {
  const Bytes lower = to_vec(derive_field_key(kL2, "password"));
  EXPECT_NE(lower, to_vec(derive_field_key(kL2, "Password")));
  EXPECT_NE(lower, to_vec(derive_field_key(kL2, "password ")));
  EXPECT_NE(lower, to_vec(derive_field_key(kL2, "")));
  // The info is the prefix immediately followed by the label.
  const SecureBytes direct = hkdf_sha256(kL2.span(), std::nullopt, as_bytes("pellucor-field-password"), 32);
  EXPECT_EQ(lower, Bytes(direct.begin(), direct.end()));
  // A label longer than the stack area for the info string.
  const std::string long_label(200, 'x');
  const SecureBytes long_direct =
      hkdf_sha256(kL2.span(), std::nullopt, as_bytes("pellucor-field-" + long_label), 32);
  EXPECT_EQ(to_vec(derive_field_key(kL2, long_label)), Bytes(long_direct.begin(), long_direct.end()));
}

TEST(FieldEncryption, RoundTripAndLabelCase) {
  auto value = encrypt_field(kL2, "password", std::string_view("hunter2"));
  ASSERT_TRUE(value);
  auto back = decrypt_field(kL2, "password", *value);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->view(), "hunter2");
  EXPECT_EQ(decrypt_field(kL2, "Password", *value).error().code, "PL-0003");
  EXPECT_EQ(decrypt_field(l2_from_hex("ff0102030405060708090a0b0c0d0e0f"), "password", *value).error().code,
            "PL-0003");
  // Two encryptions of the same text differ.
  EXPECT_NE(*value, *encrypt_field(kL2, "password", std::string_view("hunter2")));
}

TEST(FieldEncryption, EmptyPlaintextIsFortyCharacters) {
  auto value = encrypt_field(kL2, "notes", std::string_view(""));
  ASSERT_TRUE(value);
  EXPECT_EQ(value->size(), 40u);
  auto back = decrypt_field(kL2, "notes", *value);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->empty());
}

TEST(FieldDecryption, ErrorsAreDistinguished) {
  auto value = encrypt_field(kL2, "password", std::string_view("hunter2"));
  ASSERT_TRUE(value);
  struct Case { std::string text; const char* code; };
  const Case cases[] = {
      {" " + *value, "PL-0002"},
      {*value + " ", "PL-0002"},
      {*value + "\n", "PL-0002"},
      {"not base64!", "PL-0002"},
      {base64url_encode(*base64_decode(*value)), "PL-0002"},  // unpadded
      {base64_encode(Bytes(27, 1)), "PL-0010"},
      {base64_encode(Bytes()), "PL-0010"},
      {base64_encode(Bytes(28, 1)), "PL-0003"},
  };
  for (const Case& c : cases) {
    auto r = decrypt_field(kL2, "password", c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().code, c.code) << c.text;
  }
}

TEST(FieldDecryption, NonUtf8PlaintextIsRefused) {
  const Bytes latin1 = {'c', 'a', 'f', 0xe9};
  auto value = encrypt_field(kL2, "password", latin1);
  ASSERT_TRUE(value);
  EXPECT_EQ(decrypt_field(kL2, "password", *value).error().code, "PL-0006");
}

TEST(Base64UrlText, TolerantOfBlanksAndPadding) {
  const Bytes key = {0xfb, 0xff, 0x01, 0x02, 0x03};  // "-_8BAgM"
  const std::string plain = base64url_encode(key);
  ASSERT_EQ(plain, "-_8BAgM");
  for (std::string text : {plain, plain + "=", plain + "==", "  " + plain + " \n", plain + "=\n", "\t" + plain + "\r\n"}) {
    auto r = decode_base64url_text(text);
    ASSERT_TRUE(r) << text;
    EXPECT_EQ(Bytes(r->begin(), r->end()), key);
  }
  for (std::string text : {std::string("+_8BAgM"), std::string("-/8BAgM"), std::string("-_8B AgM"),
                           std::string("-_8BAgN"), std::string("=-_8BAgM"), std::string("A")}) {
    auto r = decode_base64url_text(text);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().code, "PL-0011");
  }
}

TEST(Hex16Bytes, DecodesEitherCaseExactly32Digits) {
  auto lower = decode_hex_16_bytes("a6f656d04e0889a3642a5c118b8d471d");
  auto upper = decode_hex_16_bytes("A6F656D04E0889A3642A5C118B8D471D");
  ASSERT_TRUE(lower && upper);
  EXPECT_EQ(to_vec(*lower), unhex("a6f656d04e0889a3642a5c118b8d471d"));
  EXPECT_EQ(to_vec(*upper), to_vec(*lower));
  for (std::string bad : {std::string(31, 'a'), std::string(33, 'a'), std::string(31, 'a') + "g",
                          " " + std::string(31, 'a'), std::string(32, 'a') + "\n", std::string()}) {
    auto r = decode_hex_16_bytes(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().code, "PL-0012");
  }
}

TEST(HexDigitValue, AcceptsBothCases) {
  EXPECT_EQ(*hex_digit_value('0'), 0);
  EXPECT_EQ(*hex_digit_value('9'), 9);
  EXPECT_EQ(*hex_digit_value('a'), 10);
  EXPECT_EQ(*hex_digit_value('F'), 15);
  for (char c : {'g', 'G', '/', ':', '@', '`', ' ', 'x'}) EXPECT_EQ(hex_digit_value(c).error().code, "PL-0012") << c;
}

TEST(ChannelKeyText, LengthAndLowercaseDigits) {
  const std::string good(2498, 'a');
  EXPECT_TRUE(is_channel_key_text(good));
  EXPECT_TRUE(is_channel_key_text(std::string(2498, '0')));
  EXPECT_FALSE(is_channel_key_text(std::string(2497, 'a')));
  EXPECT_FALSE(is_channel_key_text(std::string(2499, 'a')));
  std::string upper = good;
  upper[100] = 'A';
  EXPECT_FALSE(is_channel_key_text(upper));
  std::string blank = good;
  blank[2497] = ' ';
  EXPECT_FALSE(is_channel_key_text(blank));
}

}  // namespace
}  // namespace pellucor
