#include "crypto/hex16.h"

#include <gtest/gtest.h>

#include <string>

namespace pellucor {
namespace {

TEST(Hex16, ParsesAndFormatsBack) {
  auto id = parse_hex16_id("0100000000000001");
  ASSERT_TRUE(id);
  EXPECT_EQ(*id, (std::int64_t{1} << 56) + 1);
  EXPECT_EQ(format_hex16_id(*id), "0100000000000001");
  for (const char* text : {"01a2b3c4d5e6f708", "7fffffffffffffff", "7f00000000000001", "0100000000000100"}) {
    auto v = parse_hex16_id(text);
    ASSERT_TRUE(v) << text;
    EXPECT_EQ(format_hex16_id(*v), text);
  }
  EXPECT_EQ(*parse_hex16_id("01a2b3c4d5e6f708"), 0x01a2b3c4d5e6f708);
  EXPECT_EQ(format_hex16_id(0), "0000000000000000");
}

TEST(Hex16, EveryErrorKindInOrder) {
  struct Case { std::string text; Hex16Error want; };
  const Case cases[] = {
      {std::string(17, '0'), Hex16Error::WrongLength},
      {std::string(15, '1'), Hex16Error::WrongLength},
      {"", Hex16Error::WrongLength},
      {" 0100000000000001", Hex16Error::WrongLength},  // no trimming: length first
      {"0x00000000000001", Hex16Error::HexPrefix},
      {"0X00000000000001", Hex16Error::HexPrefix},
      {"0xg0000000000001", Hex16Error::HexPrefix},
      {"01000000000000AB", Hex16Error::Uppercase},
      {"0100000000000 01", Hex16Error::Whitespace},
      {"000000000000000 ", Hex16Error::Whitespace},  // a character fault comes before the value tests
      {"\t100000000000001", Hex16Error::Whitespace},
      {"01000000000000\r\n", Hex16Error::Whitespace},
      {"0100000000000\f01", Hex16Error::Whitespace},
      {"0100000000000\v01", Hex16Error::InvalidChar},  // vertical tab is not white space here
      {"+100000000000001", Hex16Error::Sign},
      {"-100000000000001", Hex16Error::Sign},
      {"01000000g0000001", Hex16Error::InvalidChar},
      {"1x00000000000001", Hex16Error::InvalidChar},
      {"01000000000000\xc3\xa9", Hex16Error::InvalidChar},
      {"A100000000000001", Hex16Error::Uppercase},  // the first bad character decides
      {"a10000000000000 ", Hex16Error::Whitespace},
      {"g1000000000000A0", Hex16Error::InvalidChar},
      {std::string(16, '0'), Hex16Error::Zero},
      {"8000000000000001", Hex16Error::TopBitSet},
      {"ffffffffffffffff", Hex16Error::TopBitSet},
      {"0012345678901234", Hex16Error::IssuerZero},
      {"0000000000000001", Hex16Error::IssuerZero},
      {"0100000000000000", Hex16Error::RandomPartZero},
      {"7f00000000000000", Hex16Error::RandomPartZero},
  };
  for (const Case& c : cases) {
    auto r = parse_hex16_id(c.text);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error(), c.want) << c.text << " gave " << hex16_error_name(r.error());
  }
}

TEST(Hex16, ErrorNames) {
  const std::pair<Hex16Error, const char*> names[] = {
      {Hex16Error::WrongLength, "wrong_length"}, {Hex16Error::HexPrefix, "hex_prefix"},
      {Hex16Error::Uppercase, "uppercase"},      {Hex16Error::Sign, "sign"},
      {Hex16Error::Whitespace, "whitespace"},    {Hex16Error::InvalidChar, "invalid_char"},
      {Hex16Error::Zero, "zero"},                {Hex16Error::TopBitSet, "top_bit_set"},
      {Hex16Error::IssuerZero, "issuer_zero"},   {Hex16Error::RandomPartZero, "random_part_zero"},
  };
  for (const auto& [kind, name] : names) {
    EXPECT_EQ(hex16_error_name(kind), name);
  }
  EXPECT_EQ(static_cast<int>(Hex16Error::RandomPartZero), 9);
}

}  // namespace
}  // namespace pellucor
