// The local test gate: a small vault gate over HTTPS on 127.0.0.1, for tests
// (in-process) and for the demo (the pellucor-test-gate program).
//
// It serves POST /gate with a certificate for 127.0.0.1 and localhost issued
// by a throwaway CA made at start (in memory; one CA per process, so every
// gate of a test process is trusted through the same SSL_CERT_FILE).
//
// A request goes through three layers, each replaceable:
//   HTTP     the body is the base64 text of Noise message 1; the answer the
//            base64 text of message 2 (`raw` bypasses everything below);
//   Noise    `responder` opens message 1 into the framed request and seals
//            the framed reply into message 2;
//   vault    `vault` answers the action with its content and credential.
// A fault, chosen at start, bends one layer to test the client's refusals.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

namespace pellucor::testing {

// The vault's answer to one action: a result, or a gate error.
struct VaultReply {
  bool ok = true;
  nlohmann::json result;  // sent when ok (null is sent as absent)
  std::string code;       // sent when !ok
  std::string message;

  static VaultReply success(nlohmann::json result) { return {true, std::move(result), {}, {}}; }
  static VaultReply failure(std::string code, std::string message) {
    return {false, nullptr, std::move(code), std::move(message)};
  }
};

// Answers one action. `content` is null when the request carried none; `cred`
// is empty when it carried none.
using VaultHandler =
    std::function<VaultReply(const std::string& action, const nlohmann::json& content, const std::string& cred)>;

// One opened handshake on the responder side.
struct ResponderSession {
  std::vector<std::uint8_t> request_payload;  // the framed request (marker byte + JSON)
  // Seals a framed reply (marker byte + JSON) into message 2 of this handshake.
  std::function<std::vector<std::uint8_t>(std::span<const std::uint8_t> reply_plaintext)> seal_reply;
  // Seals a framed reply as message 2 of another, independent handshake (the
  // wrong_handshake fault); when unset the gate garbles the honest reply.
  std::function<std::vector<std::uint8_t>(std::span<const std::uint8_t> reply_plaintext)>
      seal_for_another_handshake;
};

// The Noise responder: opens message 1 (nullopt when it does not open, which
// the gate answers with HTTP 403).
using Responder = std::function<std::optional<ResponderSession>(std::span<const std::uint8_t> message1)>;

// The gate's behaviour when a fault is chosen.
struct GateFault {
  enum class Kind {
    none,
    http_status,      // answer `status` with a short text body
    gate_error,       // the vault answers every action with gate error {code, message}
    not_base64,       // a 200 body that is not base64 text
    unpadded,         // the base64 answer one character short (its final '=' when it has one)
    trailing_newline, // the base64 answer followed by a newline
    not_utf8,         // a 200 body that is not UTF-8
    truncated_body,   // Content-Length of the full body, half of it sent, then the connection closes
    oversized_body,   // a 200 body of exactly `body_bytes` base64 'A' characters
    wrong_handshake,  // the reply sealed for another handshake
    wrong_marker,     // the reply plaintext framed by 0x11 in place of 0x10
    delay,            // wait `delay` before answering
    stall_body,       // send the head and half the body, then wait `delay` before closing
    gzip,             // the body gzip-encoded (Content-Encoding: gzip)
    close_connection  // accept TLS, read the request, close without a byte of answer
  };
  Kind kind = Kind::none;
  int status = 0;
  std::string code;
  std::string message;
  std::size_t body_bytes = 0;
  std::chrono::milliseconds delay{0};

  static GateFault none() { return {}; }
  static GateFault http(int status) { return {Kind::http_status, status, {}, {}, 0, {}}; }
  static GateFault error_reply(std::string message, std::string code = "GATE_FAULT") {
    return {Kind::gate_error, 0, std::move(code), std::move(message), 0, {}};
  }
  static GateFault body_of(std::size_t bytes) { return {Kind::oversized_body, 0, {}, {}, bytes, {}}; }
  static GateFault wait(Kind kind, std::chrono::milliseconds delay) { return {kind, 0, {}, {}, 0, delay}; }
  static GateFault of(Kind kind) { return {kind, 0, {}, {}, 0, {}}; }
};

// parse_fault reads a fault from its command-line form: "none", "status:503",
// "gate-error:MESSAGE", "not-base64", "unpadded", "newline", "not-utf8", "truncated", "body:BYTES",
// "wrong-handshake", "wrong-marker", "delay:MS", "stall:MS", "gzip", "close".
std::optional<GateFault> parse_fault(std::string_view text);

// Which certificate the gate presents.
enum class GateCertificate {
  trusted,   // issued by the process's test CA (the one SSL_CERT_FILE names)
  untrusted  // issued by a CA nobody trusts
};

struct TestGateOptions {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port
  GateFault fault;
  GateCertificate certificate = GateCertificate::trusted;
  // Point SSL_CERT_FILE at the test CA (written once per process into a
  // temporary folder) when the gate starts. Only the first HTTPS call of a
  // process reads it, so set it before any.
  bool trust_in_process = true;
  Responder responder;
  VaultHandler vault;
  // Bypasses the Noise and vault layers: request body text in, answer text out.
  std::function<std::string(const std::string& body)> raw;
};

// One request as the gate saw it.
struct SeenRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order
  std::size_t body_bytes = 0;
  std::string action;  // once opened, the action asked for
};

class TestGate {
 public:
  // Starts serving on a background thread; aborts the test program when the
  // port cannot be bound (an environment fault, not a test result).
  explicit TestGate(TestGateOptions options = {});
  ~TestGate();
  TestGate(const TestGate&) = delete;
  TestGate& operator=(const TestGate&) = delete;

  int port() const { return port_; }
  // "https://127.0.0.1:<port>", the vault URL of this gate.
  std::string vault_url() const;
  // vault_url() + "/gate".
  std::string gate_url() const;

  // Every request received so far, in order.
  std::vector<SeenRequest> requests() const;

  // Stops serving and joins the thread (also done by the destructor).
  void stop();

  // Points SSL_CERT_FILE at the process's test CA (once per process). Call it
  // before the process's first HTTPS call when no gate is started first.
  static void trust_test_ca();
  // The PEM text of the process's test CA.
  static const std::string& ca_pem();
  // Writes the test CA into `dir`/ca.pem and returns that path.
  static std::filesystem::path write_ca_file(const std::filesystem::path& dir);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  std::string host_;
};

// base64_text / base64_bytes: standard alphabet with padding, for the gate's
// own use and for tests that build bodies by hand.
std::string base64_text(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> base64_bytes(std::string_view text);

}  // namespace pellucor::testing
