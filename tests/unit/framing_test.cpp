#include "gate/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../support/vector_files.h"

namespace pellucor {
namespace {

std::string as_text(const SecureBytes& b) { return std::string(b.begin(), b.end()); }

SecureBytes bytes(std::string_view s) { return SecureBytes(s.begin(), s.end()); }

json::Value nested(int levels) {
  json::Value v = json::Value::array();
  for (int i = 1; i < levels; ++i) v = json::Value::array({v});
  return v;
}

const std::string kBadRequest = "encode request: " + format_pellucor_error_debug(err::PL_0004);
const std::string kBadReply = "decode reply: " + format_pellucor_error_debug(err::PL_0004);

struct EncodeCase {
  std::string what;
  std::string action;
  std::optional<std::string> cred;
  json::Value args;
  std::string expected;  // the framed request after the marker, or the error line
};

std::string encode(const EncodeCase& c) {
  std::optional<std::string_view> cred;
  if (c.cred) cred = *c.cred;
  auto r = encode_gate_request(c.action, cred, c.args);
  if (!r) return format_cli_error(r.error());
  if (r->empty() || (*r)[0] != GATE_FRAME_MARKER) return "missing marker";
  return as_text(*r).substr(1);
}

TEST(GateRequest, Encoding) {
  json::Value search = json::Value::object();
  search["q"] = "GitHub";
  search["exact"] = true;
  search["type"] = "credential";
  const std::vector<EncodeCase> cases = {
      {"null argument", "system.ping", "plt_x", nullptr, R"({"action":"system.ping","cred":"plt_x"})"},
      {"empty object", "system.ping", "plt_x", json::Value::object(),
       R"({"action":"system.ping","cred":"plt_x","content":{}})"},
      {"sorted keys", "search.query", "plt_x", search,
       R"({"action":"search.query","cred":"plt_x","content":{"exact":true,"q":"GitHub","type":"credential"}})"},
      {"no credential", "entry.get", std::nullopt, json::Value{{"id", "e"}},
       R"({"action":"entry.get","content":{"id":"e"}})"},
      {"credential only the prefix", "wl3.audit", "plt_", nullptr, R"({"action":"wl3.audit","cred":"plt_"})"},
      {"text raw, controls escaped", "entry.get", "plt_\"", json::Value{{"t", "Z\xc3\xbc\x01\n"}},
       "{\"action\":\"entry.get\",\"cred\":\"plt_\\\"\",\"content\":{\"t\":\"Z\xc3\xbc\\u0001\\n\"}}"},
      {"127 levels", "entry.get", "plt_x", nested(127),
       R"({"action":"entry.get","cred":"plt_x","content":)" + std::string(127, '[') + std::string(127, ']') + "}"},
      {"128 levels", "entry.get", "plt_x", nested(128), "PL-2047: " + kBadRequest},
      {"action case", "Entry.get", "plt_x", nullptr, "PL-2047: " + kBadRequest},
      {"action trailing space", "entry.get ", "plt_x", nullptr, "PL-2047: " + kBadRequest},
      {"empty action", "", "plt_x", nullptr, "PL-2047: " + kBadRequest},
      {"empty credential", "entry.get", "", nullptr, "PL-2047: " + kBadRequest},
      {"credential prefix in capitals", "entry.get", "PLT_x", nullptr, "PL-2047: " + kBadRequest},
      {"binary argument", "entry.get", "plt_x", json::Value::binary({1, 2}),
       "PL-2047: encode args: value holds binary data, which JSON cannot express"},
  };
  for (const auto& c : cases) EXPECT_EQ(encode(c), c.expected) << c.what;
}

TEST(GateRequest, ActionTable) {
  EXPECT_EQ(gate_actions.size(), 103u);
  EXPECT_EQ(gate_actions.front(), "system.ping");
  EXPECT_EQ(gate_actions.back(), "wl3.audit");
  for (std::string_view a : {"search.query", "search.similar", "entry.get", "entry.upsert", "entry.delete",
                             "audit.list", "ext.totp", "ops.maintenance.register"}) {
    EXPECT_TRUE(is_gate_action(a)) << a;
  }
  std::vector<std::string_view> sorted(gate_actions.begin(), gate_actions.end());
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());
}

TEST(GateRequest, SizeCapCountsTheMarker) {
  // 1 marker + {"action":"entry.get","cred":"plt_","content":"…"}
  const std::size_t overhead = 1 + std::string(R"({"action":"entry.get","cred":"plt_","content":""})").size();
  std::string fill(MAX_GATE_REQUEST_BYTES - overhead, 'a');
  auto at_cap = encode_gate_request("entry.get", "plt_", json::Value(fill));
  ASSERT_TRUE(at_cap) << format_cli_error(at_cap.error());
  EXPECT_EQ(at_cap->size(), MAX_GATE_REQUEST_BYTES);
  fill.push_back('a');
  auto over = encode_gate_request("entry.get", "plt_", json::Value(fill));
  ASSERT_FALSE(over);
  EXPECT_EQ(format_cli_error(over.error()),
            "PL-2110: request is 6290207 bytes, the gate takes at most 6290206");
}

TEST(GateRequest, ReproducesIndependentTranscripts) {
  PELLUCOR_LOAD_VECTORS(doc, "interop/gate_request.json");
  const std::string cred = doc.at("credential").get<std::string>();
  ASSERT_FALSE(doc.at("cases").empty());
  for (const auto& c : doc.at("cases")) {
    // Read the arguments with our own reader, from the text as the file has it.
    auto args = json::parse(c.at("args").dump());
    ASSERT_TRUE(args);
    auto framed = encode_gate_request(c.at("action").get<std::string>(), cred, *args);
    ASSERT_TRUE(framed) << format_cli_error(framed.error());
    auto want = testing::unhex(c.at("framed").get<std::string>());
    EXPECT_EQ(std::vector<std::uint8_t>(framed->begin(), framed->end()), want) << c.at("action");
  }
}

struct DecodeCase {
  std::string what;
  std::string plaintext;
  std::string expected;  // "= <compact result>" or the error line
};

std::string decode(const std::string& plaintext) {
  auto r = decode_gate_reply(bytes(plaintext));
  if (!r) return format_cli_error(r.error());
  return "= " + json::to_compact(*r);
}

TEST(GateReply, Decoding) {
  const std::string m = "\x10";
  const std::vector<DecodeCase> cases = {
      {"empty", "", "PL-2047: decode reply: " + format_pellucor_error_debug(err::PL_0010)},
      {"marker only", m, "PL-2047: " + kBadReply},
      {"marker 0x00", std::string(1, '\0') + R"({"ok":true})", "PL-2047: " + kBadReply},
      {"marker 0x11", "\x11" R"({"ok":true})", "PL-2047: " + kBadReply},
      {"marker 0x20", "\x20" R"({"ok":true})", "PL-2047: " + kBadReply},
      {"ok, no result", m + R"({"ok":true})", "= null"},
      {"ok, null result", m + R"({"ok":true,"result":null})", "= null"},
      {"ok, result and error", m + R"({"ok":true,"result":5,"error":{"code":"E","message":"m"}})", "= 5"},
      {"ok, object result", m + R"( {"result":{"b":1,"a":[true]},"ok":true} )", R"(= {"a":[true],"b":1})"},
      {"result repeats a key inside", m + R"({"ok":true,"result":{"a":1,"a":2}})", R"(= {"a":2})"},
      {"not ok, no error", m + R"({"ok":false})", "PL-2047: gate error UNKNOWN: no detail"},
      {"not ok, null error", m + R"({"ok":false,"error":null})", "PL-2047: gate error UNKNOWN: no detail"},
      {"not ok, error", m + R"({"ok":false,"error":{"code":"E42","message":"HTTP 503 upstream"},"result":1})",
       "PL-2047: gate error E42: HTTP 503 upstream"},
      // The vault's text stays on the one error line: line breaks become
      // blanks, other controls go.
      {"error with line breaks",
       m + R"({"ok":false,"error":{"code":"E\n1",)"
               R"("message":"denied\nPL-0000: forged\r\n\tline\u001b]52;c;eA==\u0007\u009b"}})",
       "PL-2047: gate error E 1: denied PL-0000: forged   line]52;c;eA=="},
      {"error without message", m + R"({"ok":false,"error":{"code":"E"}})", "PL-2047: " + kBadReply},
      {"error with another key", m + R"({"ok":false,"error":{"code":"E","message":"m","x":1}})",
       "PL-2047: " + kBadReply},
      {"error code not text", m + R"({"ok":false,"error":{"code":1,"message":"m"}})", "PL-2047: " + kBadReply},
      {"error not an object", m + R"({"ok":false,"error":"boom"})", "PL-2047: " + kBadReply},
      {"further key", m + R"({"ok":true,"extra":1})", "PL-2047: " + kBadReply},
      {"ok twice", m + R"({"ok":true,"ok":true})", "PL-2047: " + kBadReply},
      {"no ok", m + R"({"result":1})", "PL-2047: " + kBadReply},
      {"ok not boolean", m + R"({"ok":1})", "PL-2047: " + kBadReply},
      {"array reply", m + R"([true,5])", "PL-2047: " + kBadReply},
      {"trailing bytes", m + R"({"ok":true}x)", "PL-2047: " + kBadReply},
      {"trailing white space", m + "{\"ok\":true}\r\n\t ", "= null"},
      {"not JSON", m + "ok", "PL-2047: " + kBadReply},
      {"126 levels inside", m + R"({"ok":true,"result":)" + std::string(126, '[') + std::string(126, ']') + "}",
       "= " + std::string(126, '[') + std::string(126, ']')},
      {"127 levels inside", m + R"({"ok":true,"result":)" + std::string(127, '[') + std::string(127, ']') + "}",
       "PL-2047: " + kBadReply},
  };
  for (const auto& c : cases) EXPECT_EQ(decode(c.plaintext), c.expected) << c.what;
}

TEST(GateReply, SizeCapComesBeforeAnyJson) {
  std::string body = R"({"ok":true})";
  std::string at_cap = "\x10" + body + std::string(MAX_GATE_REPLY_PLAINTEXT_BYTES - 1 - body.size(), ' ');
  EXPECT_EQ(decode(at_cap), "= null");
  EXPECT_EQ(decode(at_cap + " "), "PL-2047: " + kBadReply);
}

TEST(GateReply, PlaintextIsWipedOnEveryPath) {
  for (const std::string& text : {std::string("\x10{\"ok\":true,\"result\":\"secret\"}"),
                                 std::string("\x10{\"ok\":false,\"error\":{\"code\":\"c\",\"message\":\"m\"}}"),
                                 std::string("\x11{\"ok\":true}"), std::string("\x10{\"ok\":")}) {
    SecureBytes buf = bytes(text);
    (void)decode_gate_reply(std::move(buf));
    ASSERT_EQ(buf.size(), text.size());  // the caller's buffer, zeroed in place
    EXPECT_TRUE(std::all_of(buf.begin(), buf.end(), [](std::uint8_t b) { return b == 0; })) << text;
  }
}

}  // namespace
}  // namespace pellucor
