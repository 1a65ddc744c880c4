#include "crypto/encoding.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace pellucor {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes counting(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + 201);
  return b;
}

std::string openssl_base64(const Bytes& b) {
  std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(), static_cast<int>(b.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

TEST(Base64, MatchesAReferenceEncoderAndRoundTrips) {
  for (std::size_t n = 0; n <= 70; ++n) {
    const Bytes b = counting(n);
    const std::string text = base64_encode(b);
    EXPECT_EQ(text, openssl_base64(b)) << n;
    auto back = base64_decode(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(Bytes(back->begin(), back->end()), b);

    std::string url = base64url_encode(b);
    std::string expect = text;
    while (!expect.empty() && expect.back() == '=') expect.pop_back();
    for (char& c : expect) c = c == '+' ? '-' : c == '/' ? '_' : c;
    EXPECT_EQ(url, expect);
    auto url_back = base64url_decode(url);
    ASSERT_TRUE(url_back) << url;
    EXPECT_EQ(Bytes(url_back->begin(), url_back->end()), b);
  }
  const Bytes all = {0xfb, 0xff, 0xbf};
  EXPECT_EQ(base64_encode(all), "+/+/");
  EXPECT_EQ(base64url_encode(all), "-_-_");
  EXPECT_EQ(base64_encode<SecureString>(all).view(), "+/+/");
}

TEST(Base64, StrictDecodingRefusals) {
  struct Case { const char* text; bool standard_ok; bool url_ok; };
  const Case cases[] = {
      {"", true, true},
      {"AA==", true, false},     // padding is refused by the URL form
      {"AA", false, true},       // and required by the standard form
      {"AAA=", true, false},
      {"AAA", false, true},
      {"AB==", false, false},    // unused bits set
      {"AAB=", false, false},
      {"AB", false, false},
      {"AAB", false, false},
      {"A", false, false},       // one character never makes a byte
      {"A===", false, false},
      {"====", false, false},
      {"AA=A", false, false},    // padding in the middle
      {"=AAA", false, false},
      {"AAAA====", false, false},
      {"AA==AAAA", false, false},
      {" AAA", false, false},    // no white space anywhere
      {"AAAA\n", false, false},
      {"AA A", false, false},
      {"+/+/", true, false},     // each alphabet refuses the other's two characters
      {"-_-_", false, true},
      {"AA.A", false, false},
      {"AAA\x80", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64_decode(c.text).has_value(), c.standard_ok) << '"' << c.text << '"';
    EXPECT_EQ(base64url_decode(c.text).has_value(), c.url_ok) << '"' << c.text << '"';
  }
}

TEST(Base64, RefusalsSayWhy) {
  struct Case { const char* text; bool url; const char* why; };
  const Case cases[] = {
      {"AA=A", false, "Invalid symbol 61, offset 2."},
      {"A===", false, "Invalid symbol 61, offset 1."},
      {"====", false, "Invalid symbol 61, offset 0."},
      {"AA==AAAA", false, "Invalid symbol 61, offset 2."},
      {" AAA", false, "Invalid symbol 32, offset 0."},
      {"AAAA\n", false, "Invalid symbol 10, offset 4."},
      {"AAAAA", false, "Invalid input length: 5"},
      {"AA", false, "Invalid padding"},
      {"AAA", false, "Invalid padding"},
      {"AB==", false, "Invalid last symbol 66, offset 1."},
      {"AAB=", false, "Invalid last symbol 66, offset 2."},
      {"-AAA", false, "Invalid symbol 45, offset 0."},
      {"AA==", true, "Invalid padding"},
      {"+AAA", true, "Invalid symbol 43, offset 0."},
      {"AAAAA", true, "Invalid input length: 5"},
      {"AB", true, "Invalid last symbol 66, offset 1."},
  };
  for (const Case& c : cases) {
    auto r = c.url ? base64url_decode_checked(c.text) : base64_decode_checked(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(format_base64_decode_error(r.error()), c.why) << c.text;
  }
  auto ok = base64_decode_checked("aGk=");
  ASSERT_TRUE(ok);
  EXPECT_EQ(std::string(ok->begin(), ok->end()), "hi");
  EXPECT_TRUE(base64url_decode_checked("aGk"));
}

TEST(Hex, EncodesLowercaseAndDecodesStrictly) {
  const Bytes b = {0x00, 0x09, 0x0a, 0x7f, 0x80, 0xab, 0xff};
  EXPECT_EQ(hex_encode(b), "00090a7f80abff");
  auto lower = hex_decode("00090a7f80abff", HexCase::Lower);
  ASSERT_TRUE(lower);
  EXPECT_EQ(Bytes(lower->begin(), lower->end()), b);
  auto mixed = hex_decode("00090A7f80ABff");
  ASSERT_TRUE(mixed);
  EXPECT_EQ(Bytes(mixed->begin(), mixed->end()), b);
  EXPECT_FALSE(hex_decode("00090A7f80ABff", HexCase::Lower));
  for (const char* bad : {"0", "abc", "0g", "g0", " 00", "00 ", "0x00", "/0", ":0", "@0", "`0", "G0"}) {
    EXPECT_FALSE(hex_decode(bad)) << bad;
  }
  EXPECT_TRUE(hex_decode("")->empty());
  // Every byte value survives the trip.
  Bytes every(256);
  for (int i = 0; i < 256; ++i) every[i] = static_cast<std::uint8_t>(i);
  auto back = hex_decode(hex_encode(every), HexCase::Lower);
  ASSERT_TRUE(back);
  EXPECT_EQ(Bytes(back->begin(), back->end()), every);
}

TEST(Utf8, ValidationRefusesMalformedSequences) {
  auto ok = [](std::string_view s) {
    return is_valid_utf8({reinterpret_cast<const std::uint8_t*>(s.data()), s.size()});
  };
  EXPECT_TRUE(ok(""));
  EXPECT_TRUE(ok("plain"));
  EXPECT_TRUE(ok("R\xc3\xa9sum\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x94\x91"));
  EXPECT_TRUE(ok("\xf4\x8f\xbf\xbf"));       // U+10FFFF
  EXPECT_FALSE(ok("\xc0\xaf"));              // overlong
  EXPECT_FALSE(ok("\xe0\x80\xaf"));          // overlong
  EXPECT_FALSE(ok("\xed\xa0\x80"));          // surrogate
  EXPECT_FALSE(ok("\xf4\x90\x80\x80"));      // above U+10FFFF
  EXPECT_FALSE(ok("\xff"));
  EXPECT_FALSE(ok("\xc3"));                  // truncated
  EXPECT_FALSE(ok("\xe2\x80"));
  EXPECT_FALSE(ok("\x80"));                  // stray continuation
}

TEST(TrimWhiteSpace, TrimsUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space("  key\n"), "key");
  EXPECT_EQ(trim_white_space("\t\v\f\r key \r\n"), "key");
  EXPECT_EQ(trim_white_space("\xc2\xa0key\xe2\x80\x83"), "key");  // U+00A0, U+2003
  EXPECT_EQ(trim_white_space("\xe3\x80\x80k e y\xc2\x85"), "k e y");
  EXPECT_EQ(trim_white_space("a\xc2\xa0"), "a");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space(""), "");
  EXPECT_EQ(trim_white_space("\xc3\xa9"), "\xc3\xa9");  // not white space
  EXPECT_EQ(trim_white_space("x\xa0"), "x\xa0");        // a lone continuation byte is not
  EXPECT_EQ(trim_white_space("\xe2\x80\x8bkey"), "\xe2\x80\x8bkey");  // zero-width space is not
}

TEST(ParseDecimal, WholeTextSignAndRange) {
  EXPECT_EQ(parse_decimal<std::int64_t>("42"), 42);
  EXPECT_EQ(parse_decimal<std::int64_t>("+42"), 42);
  EXPECT_EQ(parse_decimal<std::int64_t>("-0042"), -42);
  EXPECT_EQ(parse_decimal<std::int64_t>("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(parse_decimal<std::uint32_t>("4294967295"), UINT32_MAX);
  EXPECT_EQ(parse_decimal<std::size_t>("+7"), 7u);
  const char* refused[] = {"", "+", "-", "+-1", "-+1", " 1", "1 ", "1a", "0x10", "1.0"};
  for (const char* text : refused) {
    EXPECT_FALSE(parse_decimal<std::int64_t>(text)) << '"' << text << '"';
    EXPECT_FALSE(parse_decimal<std::uint32_t>(text)) << '"' << text << '"';
  }
  EXPECT_FALSE(parse_decimal<std::int64_t>("9223372036854775808"));  // one past the top
  EXPECT_FALSE(parse_decimal<std::uint32_t>("4294967296"));
  EXPECT_FALSE(parse_decimal<std::uint32_t>("-1"));  // no sign but '+' when unsigned
  EXPECT_FALSE(parse_decimal<std::uint32_t>("-0"));
}

}  // namespace
}  // namespace pellucor
