#include "cli/schema.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>

namespace pellucor {
namespace {

std::string read_asset_file() {
  std::ifstream in(std::string(PELLUCOR_SOURCE_DIR) + "/assets/entry-types.json", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(EntrySchemaDocument, EmbeddedBytesAreTheFileEndingInABrace) {
  std::string file = read_asset_file();
  ASSERT_FALSE(file.empty());
  EXPECT_EQ(entry_type_schema_json(), file);
  EXPECT_TRUE(entry_type_schema_json().ends_with("}"));
  EXPECT_TRUE(entry_type_schema_json().starts_with(
      "{\n  \"version\": \"2.1.0\",\n  \"generated\": \"2026-04-04\",\n  \"schema\": \"import-v2\",\n  \"types\": {"));
}

TEST(EntrySchemaDocument, TotalsOfTypesFieldsKindsTiersAndRequired) {
  const Schema& schema = force_entry_schema();
  EXPECT_EQ(schema.types.size(), 13u);
  std::size_t fields = 0;
  std::map<std::string, int> kinds;
  std::map<int, int> tiers;
  std::set<std::string> required;
  for (const auto& [tname, type] : schema.types) {
    EXPECT_FALSE(type.description.empty()) << tname;
    ASSERT_TRUE(type.fields.contains("title")) << tname;
    EXPECT_TRUE(type.fields.at("title").required) << tname;
    for (const auto& [fname, def] : type.fields) {
      ++fields;
      ++kinds[def.kind];
      ++tiers[def.tier];
      if (def.required) required.insert(tname + "." + fname);
    }
  }
  EXPECT_EQ(fields, 88u);
  EXPECT_EQ(kinds, (std::map<std::string, int>{{"text", 58}, {"password", 19}, {"textarea", 4}, {"totp", 2},
                                                {"date", 2}, {"email", 1}, {"tel", 1}, {"url", 1}}));
  EXPECT_EQ(tiers, (std::map<int, int>{{1, 52}, {2, 23}, {3, 13}}));
  EXPECT_EQ(required.size(), 17u);
  for (const char* r : {"card.number", "api_key.key", "totp.secret", "software_license.license_key"})
    EXPECT_TRUE(required.contains(r)) << r;
}

TEST(EntrySchemaDocument, SampleFieldsAndDescriptions) {
  const Schema& schema = force_entry_schema();
  const EntryType& wifi = schema.types.at("wifi");
  EXPECT_EQ(wifi.description, "Wi-Fi network credentials");
  const FieldDef& ssid = wifi.fields.at("ssid");
  EXPECT_EQ(ssid.label, "Network Name (SSID)");
  EXPECT_EQ(ssid.kind, "text");
  EXPECT_EQ(ssid.tier, 1);
  EXPECT_FALSE(ssid.required);
  const FieldDef& license = schema.types.at("identity").fields.at("license");
  EXPECT_EQ(license.label, "Driver's License");
  EXPECT_EQ(license.tier, 3);
  EXPECT_EQ(schema.types.at("software_license").fields.at("expiry").label, "Expires");
}

// The lookup lowers only what can turn into an ASCII name; that is sound only
// while every type name is ASCII.
TEST(EntrySchemaDocument, TypeNamesAreAscii) {
  for (std::string_view name : sorted_type_names())
    for (char c : name) EXPECT_LT(static_cast<unsigned char>(c), 0x80) << name;
}

// With this document the name rule lifts no tier-1 field: the only secret
// fields are those the schema marks as such.
TEST(EntrySchemaDocument, NameRuleAddsNoSecretField) {
  for (const auto& [tname, type] : force_entry_schema().types)
    for (const auto& [fname, def] : type.fields)
      EXPECT_EQ(effective_field_tier(fname, def), def.tier > 1 ? 2 : def.tier) << tname << "." << fname;
}

TEST(EntrySchemaLoad, BuiltOnceAndShared) {
  const Schema* first = &force_entry_schema();
  const Schema* seen[4] = {};
  std::thread threads[4];
  for (int i = 0; i < 4; ++i) threads[i] = std::thread([&seen, i] { seen[i] = &force_entry_schema(); });
  for (auto& t : threads) t.join();
  for (const Schema* s : seen) EXPECT_EQ(s, first);
  EXPECT_EQ(&force_entry_schema(), first);
}

// Reading rules of the document, on small documents.
TEST(ParseSchema, SkipsUnreadKeysAndDefaultsRequired) {
  auto s = parse_schema(R"({"version":"9","types":{"x":{"fields":{"f":{"label":"L","kind":"text","tier":0,)"
                        R"("mappings":{"a":["b",{"c":null}]},"row":"r","weight":2.5}},"description":"D","extra":[]}},)"
                        R"("importFormats":{"z":{"deep":[[[[true]]]]}}})");
  ASSERT_TRUE(s) << s.error();
  const EntryType& x = s->types.at("x");
  EXPECT_EQ(x.description, "D");
  const FieldDef& f = x.fields.at("f");
  EXPECT_EQ(f.label, "L");
  EXPECT_EQ(f.kind, "text");
  EXPECT_EQ(f.tier, 0);
  EXPECT_FALSE(f.required);
}

TEST(ParseSchema, PositionalForms) {
  auto s = parse_schema(R"([{"x":["D",{"f":["L","password",3,true],"g":["M","text",1]}]}])");
  ASSERT_TRUE(s) << s.error();
  const EntryType& x = s->types.at("x");
  EXPECT_EQ(x.description, "D");
  EXPECT_EQ(x.fields.at("f").tier, 3);
  EXPECT_TRUE(x.fields.at("f").required);
  EXPECT_FALSE(x.fields.at("g").required);
}

TEST(ParseSchema, Refusals) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"{}", "missing field `types` at line 1 column 2"},
      {R"({"types":{"x":{"fields":{}}}})", "missing field `description` at line 1 column 27"},
      {R"({"types":{"x":{"description":"d"}}})", "missing field `fields` at line 1 column 33"},
      {R"({"types":{"x":{"description":"d","fields":{"f":{"label":"L","tier":1}}}}})",
       "missing field `kind` at line 1 column 69"},
      {R"({"types":{},"types":{}})", "duplicate field `types` at line 1 column 19"},
      {R"({"types":{"x":{"description":"d","fields":{"f":{"label":"L","label":"M","kind":"k","tier":1}}}}})",
       "duplicate field `label` at line 1 column 67"},
      {R"({"types":{"x":{"description":"d","fields":{"f":{"label":"L","kind":"k","tier":256}}}}})",
       "invalid value: integer `256`, expected u8 at line 1 column 81"},
      {R"({"types":{"x":{"description":"d","fields":{"f":{"label":"L","kind":"k","tier":-1}}}}})",
       "invalid value: integer `-1`, expected u8 at line 1 column 80"},
      {R"({"types":{"x":{"description":"d","fields":{"f":{"label":"L","kind":"k","tier":"1"}}}}})",
       "invalid type: string \"1\", expected u8 at line 1 column 81"},
      {R"({"types":{"x":{"description":"d","fields":{"f":{"label":"L","kind":"k","tier":1,"required":"yes"}}}}})",
       "invalid type: string \"yes\", expected a boolean at line 1 column 96"},
      {R"({"types":{"x":{"description":7,"fields":{}}}})", "invalid type: integer `7`, expected a string at line 1 column 30"},
      {R"({"types":[]})", "invalid type: sequence, expected a map at line 1 column 9"},
      {R"({"types":{"x":true}})", "invalid type: boolean `true`, expected struct EntryType at line 1 column 18"},
      {R"({"types":{"x":{"description":"d","fields":{"f":null}}}})",
       "invalid type: null, expected struct FieldDef at line 1 column 51"},
      {"\"x\"", "invalid type: string \"x\", expected struct Schema at line 1 column 3"},
      {"[]", "invalid length 0, expected struct Schema with 1 element at line 1 column 2"},
      {R"([{"x":["d"]}])", "invalid length 1, expected struct EntryType with 2 elements at line 1 column 11"},
      {R"([{"x":["d",{"f":["L","k"]}]}])", "invalid length 2, expected struct FieldDef with 4 elements at line 1 column 25"},
      {R"({"types":{},"importFormats":{"a":[1,]}})", "expected value at line 1 column 37"},
      {R"({"types":{}} x)", "trailing characters at line 1 column 14"},
      {"", "EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& [doc, want] : cases) {
    auto s = parse_schema(doc);
    ASSERT_FALSE(s) << doc;
    EXPECT_EQ(s.error(), want) << doc;
  }
}

TEST(ParseSchemaDeathTest, BrokenDocumentStopsThroughTheFaultPath) {
  EXPECT_DEATH(load_entry_schema_from("{\"types\":{}"),
               "entry-types.json is valid JSON: EOF while parsing an object at line 1 column 11");
}

TEST(FindEntryType, CaseFoldingWithoutTrimmingOrAliases) {
  const Schema& schema = force_entry_schema();
  struct Case {
    std::string_view name;
    const char* type;  // nullptr: no match
  };
  const Case cases[] = {
      {"credential", "credential"},
      {"CREDENTIAL", "credential"},
      {"CreDenTial", "credential"},
      {"Api_Key", "api_key"},
      {"ssh", nullptr},
      {"api", nullptr},
      {" credential", nullptr},
      {"credential ", nullptr},
      {"", nullptr},
      {"api_\xE2\x84\xAA" "ey", "api_key"},  // KELVIN SIGN lowers to 'k'
      {"\xE2\x84\xAA" "ey", nullptr},         // "key" is no type
      {"\xC4\xB0" "dentity", nullptr},        // U+0130 lowers to "i" + U+0307
      {"\xC4\xB1" "dentity", nullptr},        // dotless i stays itself
      {"\xC3\x89" "card", nullptr},
      {"car\xE2\x84", nullptr},               // a cut-off sequence
      {"s\xE2\x84\xAA", nullptr},
      {"CARD\xCC\x81", nullptr},              // combining mark after the name
  };
  for (const auto& c : cases) {
    const EntryType* t = find_entry_type(c.name);
    if (c.type == nullptr) {
      EXPECT_EQ(t, nullptr) << c.name;
    } else {
      EXPECT_EQ(t, &schema.types.at(c.type)) << c.name;
    }
  }
}

TEST(SortedNames, TypesInByteOrder) {
  std::vector<std::string_view> want = {"api_key", "card",     "credential",       "crypto_wallet", "custom",
                                        "database", "identity", "note",             "server",        "software_license",
                                        "ssh_key",  "totp",     "wifi"};
  EXPECT_EQ(sorted_type_names(), want);
}

std::vector<std::string_view> names_of(const EntryType& t) {
  std::vector<std::string_view> out;
  for (const auto& f : sorted_field_names(t)) out.push_back(f.name);
  return out;
}

TEST(SortedNames, FieldsWithoutTitle) {
  const Schema& schema = force_entry_schema();
  EXPECT_EQ(names_of(schema.types.at("credential")),
            (std::vector<std::string_view>{"notes", "password", "totp", "urls", "username"}));
  EXPECT_EQ(names_of(schema.types.at("note")), (std::vector<std::string_view>{"notes"}));
  EXPECT_EQ(names_of(schema.types.at("custom")), (std::vector<std::string_view>{"notes"}));
  auto card = sorted_field_names(schema.types.at("card"));
  ASSERT_EQ(card.size(), 7u);
  EXPECT_EQ(card[0].name, "brand");
  EXPECT_EQ(card[0].def, &schema.types.at("card").fields.at("brand"));
}

TEST(SortedNames, PrefixFirstOnlyExactTitleDroppedEmptyStaysEmpty) {
  EntryType t;
  for (const char* n : {"ab", "a", "Title", "title", "b", "titles", "A"}) t.fields[n] = FieldDef{n, "text", 1, false};
  EXPECT_EQ(names_of(t), (std::vector<std::string_view>{"A", "Title", "a", "ab", "b", "titles"}));
  EXPECT_TRUE(sorted_field_names(EntryType{}).empty());
}

TEST(ResolveTypeAlias, OnlyExactShortForms) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"api", "api_key"}, {"ssh", "ssh_key"}, {"API", "API"},           {"Ssh", "Ssh"},
      {"api ", "api "},   {"api_key", "api_key"}, {"credential", "credential"}, {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(resolve_type_alias(in), out) << in;
}

TEST(IsSecretName, ExactWordsFragmentsAndPublicExceptions) {
  const std::pair<std::string_view, bool> cases[] = {
      {"Public Key", false},  {"public_key", false},  {"my public key", false}, {"Key Type", false},
      {"key_type", false},    {"KEY", true},          {"key", true},            {"api_key", true},
      {"API Key", true},      {"ssh_key", true},      {"Private Key", true},    {"License Key", false},
      {"Seed Phrase", true},  {"Passphrase", false},  {"password", true},       {"DB Password", true},
      {"access token", true}, {"client_secret", true}, {"CVV", true},           {"PIN", true},
      {"mappings", true},     {"Username", false},    {"Notes", false},         {"token public", false},
      {"secret_public", false}, {"secret ", true},    {"Key ", false},          {"", false},
      {"privatekey", true},   {"keys", false},        {"ÄPI_KEY", false},       {"Private_Key_Public", false},
  };
  for (const auto& [name, secret] : cases) EXPECT_EQ(is_secret_name(name), secret) << '"' << name << '"';
}

TEST(EffectiveFieldTier, SchemaTierOrNameRuleNeverThree) {
  struct Case {
    std::string_view name;
    FieldDef def;
    std::uint8_t want;
  };
  const Case cases[] = {
      {"private_key", {"Private Key", "password", 3, false}, 2},
      {"number", {"Number", "password", 3, true}, 2},
      {"pw", {"Password", "text", 1, false}, 2},           // label alone makes it secret
      {"api_token", {"Token", "text", 1, false}, 2},
      {"token", {"Harmless", "text", 0, false}, 2},        // name alone makes it secret
      {"username", {"Username", "text", 1, false}, 1},
      {"plain", {"Plain", "text", 0, false}, 0},
      {"public_key", {"Public Key", "textarea", 1, false}, 1},
      {"key_type", {"Key Type", "text", 1, false}, 1},
      {"blob", {"Blob", "text", 9, false}, 2},
  };
  for (const auto& c : cases) EXPECT_EQ(effective_field_tier(c.name, c.def), c.want) << c.name;
}

}  // namespace
}  // namespace pellucor
