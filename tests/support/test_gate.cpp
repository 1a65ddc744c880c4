#include "tests/support/test_gate.h"

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "tests/support/x509_fixture.h"

namespace pellucor::testing {
namespace {

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "test gate: %s\n", what.c_str());
  std::abort();
}

Key new_key() {
  Key k = new_p256_key();
  if (!k) die("cannot generate a P-256 key");
  return k;
}

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
  if (!add_extension(cert, issuer, nid, value)) die("cannot build a certificate extension");
}

// Issues a certificate for `key`; self-signed when `issuer` is null.
Cert issue(EVP_PKEY* key, const char* common_name, bool ca, X509* issuer, EVP_PKEY* issuer_key) {
  Cert cert(X509_new());
  X509* c = cert.get();
  X509_set_version(c, 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(c));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(c), -3600);
  X509_gmtime_adj(X509_getm_notAfter(c), 7 * 24 * 3600);
  X509_set_pubkey(c, key);
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Pellucor test gate"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1, -1,
                             0);
  X509* signer = issuer != nullptr ? issuer : c;
  X509_set_issuer_name(c, X509_get_subject_name(signer));
  if (ca) {
    add_ext(c, signer, NID_basic_constraints, "critical,CA:TRUE");
    add_ext(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    add_ext(c, signer, NID_subject_key_identifier, "hash");
  } else {
    add_ext(c, signer, NID_basic_constraints, "critical,CA:FALSE");
    add_ext(c, signer, NID_key_usage, "critical,digitalSignature");
    add_ext(c, signer, NID_ext_key_usage, "serverAuth");
    add_ext(c, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    add_ext(c, signer, NID_authority_key_identifier, "keyid:always");
  }
  if (X509_sign(c, issuer_key != nullptr ? issuer_key : key, EVP_sha256()) == 0) die("cannot sign a certificate");
  return cert;
}

struct Authority {
  Key key;
  Cert cert;
  std::string pem;
};

Authority make_authority(const char* name) {
  Authority a;
  a.key = new_key();
  a.cert = issue(a.key.get(), name, true, nullptr, nullptr);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, a.cert.get());
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  a.pem.assign(data, static_cast<std::size_t>(len));
  BIO_free(bio);
  return a;
}

const Authority& process_ca() {
  static const Authority ca = make_authority("Pellucor test CA");
  return ca;
}

void trust_process_ca_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    char tmpl[] = "/tmp/pellucor-test-ca-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    if (dir == nullptr) die("cannot make a temporary folder");
    auto path = TestGate::write_ca_file(dir);
    ::setenv("SSL_CERT_FILE", path.c_str(), 1);
    ::unsetenv("SSL_CERT_DIR");
  });
}

std::string gzip(const std::string& in) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) die("zlib");
  std::string out(deflateBound(&z, in.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) die("zlib deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// The server that answers nothing: it completes TLS, reads the request head
// and closes. Only this fault needs to act below the HTTP layer.
class SilentServer : public httplib::SSLServer {
 public:
  SilentServer(X509* cert, EVP_PKEY* key, std::function<void()> on_request)
      : httplib::SSLServer(cert, key), on_request_(std::move(on_request)) {}

 private:
  bool process_and_close_socket(socket_t sock) override {
    timeval tv{2, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    SSL* ssl = SSL_new(ssl_context());
    if (ssl != nullptr) {
      SSL_set_fd(ssl, sock);
      if (SSL_accept(ssl) == 1) {
        std::string seen;
        char buf[4096];
        while (seen.find("\r\n\r\n") == std::string::npos && seen.size() < (1u << 20)) {
          int n = SSL_read(ssl, buf, sizeof buf);
          if (n <= 0) break;
          seen.append(buf, static_cast<std::size_t>(n));
        }
        on_request_();
      }
      SSL_free(ssl);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
  }
  std::function<void()> on_request_;
};

}  // namespace

std::string base64_text(std::span<const std::uint8_t> bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3), '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::optional<std::vector<std::uint8_t>> base64_bytes(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> out(text.size() / 4 * 3);
  int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t pad = 0;
  if (!text.empty() && text.back() == '=') ++pad;
  if (text.size() > 1 && text[text.size() - 2] == '=') ++pad;
  out.resize(static_cast<std::size_t>(n) - pad);
  return out;
}

std::optional<GateFault> parse_fault(std::string_view text) {
  using K = GateFault::Kind;
  std::string_view word = text.substr(0, text.find(':'));
  std::string arg = text.find(':') == std::string_view::npos ? std::string() : std::string(text.substr(word.size() + 1));
  auto number = [&]() -> std::optional<long> {
    if (arg.empty()) return std::nullopt;
    char* end = nullptr;
    long v = std::strtol(arg.c_str(), &end, 10);
    if (*end != '\0' || v < 0) return std::nullopt;
    return v;
  };
  if (word == "none") return GateFault::none();
  if (word == "status") {
    auto n = number();
    if (!n || *n < 100 || *n > 999) return std::nullopt;
    return GateFault::http(static_cast<int>(*n));
  }
  if (word == "gate-error") return GateFault::error_reply(arg);
  if (word == "body") {
    auto n = number();
    if (!n) return std::nullopt;
    return GateFault::body_of(static_cast<std::size_t>(*n));
  }
  if (word == "delay" || word == "stall") {
    auto n = number();
    if (!n) return std::nullopt;
    return GateFault::wait(word == "delay" ? K::delay : K::stall_body, std::chrono::milliseconds(*n));
  }
  static const std::pair<std::string_view, K> plain[] = {
      {"not-base64", K::not_base64}, {"unpadded", K::unpadded}, {"newline", K::trailing_newline},
      {"not-utf8", K::not_utf8},         {"truncated", K::truncated_body},
      {"wrong-handshake", K::wrong_handshake}, {"wrong-marker", K::wrong_marker}, {"gzip", K::gzip},
      {"close", K::close_connection}};
  for (const auto& [name, kind] : plain) {
    if (word == name && arg.empty()) return GateFault::of(kind);
  }
  return std::nullopt;
}

struct TestGate::Impl {
  TestGateOptions options;
  std::unique_ptr<httplib::SSLServer> server;
  std::thread thread;
  mutable std::mutex mu;
  std::condition_variable cv;
  bool stopping = false;
  std::vector<SeenRequest> seen;

  // Waits `d` or until the gate stops; true when the full time passed.
  bool wait_for(std::chrono::milliseconds d) {
    std::unique_lock lock(mu);
    return !cv.wait_for(lock, d, [&] { return stopping; });
  }

  void record(SeenRequest r) {
    std::lock_guard lock(mu);
    seen.push_back(std::move(r));
  }

  // The vault and Noise layers: request body text to answer text. Sets
  // `status` when the handshake does not open.
  std::string answer(const std::string& body, int& status, std::string& action) {
    using K = GateFault::Kind;
    if (options.raw) return options.raw(body);
    if (!options.responder) {
      status = 501;
      return "this test gate has no responder";
    }
    auto msg1 = base64_bytes(body);
    std::optional<ResponderSession> session;
    if (msg1) session = options.responder(*msg1);
    if (!session) {
      status = 403;
      return "handshake refused";
    }
    VaultReply reply = VaultReply::failure("NO_VAULT", "no vault behind this test gate");
    const auto& payload = session->request_payload;
    if (payload.empty() || payload[0] != 0x10) {
      reply = VaultReply::failure("BAD_FRAME", "request frame marker is not 0x10");
    } else {
      try {
        auto request = nlohmann::json::parse(payload.begin() + 1, payload.end());
        action = request.value("action", std::string());
        std::string cred = request.value("cred", std::string());
        nlohmann::json content = request.contains("content") ? request["content"] : nlohmann::json();
        if (options.fault.kind == K::gate_error)
          reply = VaultReply::failure(options.fault.code, options.fault.message);
        else if (options.vault)
          reply = options.vault(action, content, cred);
      } catch (const std::exception& e) {
        reply = VaultReply::failure("BAD_REQUEST", e.what());
      }
    }
    nlohmann::json doc = {{"ok", reply.ok}};
    if (reply.ok && !reply.result.is_null()) doc["result"] = reply.result;
    if (!reply.ok) doc["error"] = {{"code", reply.code}, {"message", reply.message}};
    std::string text = doc.dump();
    std::vector<std::uint8_t> plain;
    plain.reserve(text.size() + 1);
    plain.push_back(options.fault.kind == K::wrong_marker ? 0x11 : 0x10);
    plain.insert(plain.end(), text.begin(), text.end());
    std::vector<std::uint8_t> msg2;
    if (options.fault.kind == K::wrong_handshake && session->seal_for_another_handshake) {
      msg2 = session->seal_for_another_handshake(plain);
    } else {
      msg2 = session->seal_reply(plain);
      if (options.fault.kind == K::wrong_handshake) {
        // No other handshake at hand: flip the sealed reply so no key of
        // this handshake opens it.
        for (std::size_t i = 65; i < msg2.size(); ++i) msg2[i] ^= 0x5A;
      }
    }
    return base64_text(msg2);
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    using K = GateFault::Kind;
    const GateFault& f = options.fault;
    SeenRequest r{req.method, req.path, {}, req.body.size(), {}};
    for (const auto& h : req.headers) {
      // The server's own notes on the connection are no request headers.
      if (h.first.starts_with("REMOTE_") || h.first.starts_with("LOCAL_")) continue;
      r.headers.emplace_back(h.first, h.second);
    }
    if (f.kind == K::delay && !wait_for(f.delay)) {
      record(std::move(r));
      res.status = 503;
      return;
    }
    if (f.kind == K::http_status) {
      record(std::move(r));
      res.status = f.status;
      if (f.status >= 300 && f.status <= 399) res.set_header("Location", "https://127.0.0.1:1/gate");
      res.set_content("refused by the test gate", "text/plain");
      return;
    }
    int status = 200;
    std::string body = answer(req.body, status, r.action);
    record(std::move(r));
    switch (f.kind) {
      case K::not_base64: body = "this is %% not base64 %%"; break;
      case K::unpadded:  // one '=' less; a text without padding loses its last symbol instead
        if (!body.empty()) body.pop_back();
        break;
      case K::trailing_newline: body += "\n"; break;
      case K::not_utf8: body = std::string("QUFB\xC3\x28QUFB"); break;
      case K::oversized_body: body.assign(f.body_bytes, 'A'); break;
      default: break;
    }
    res.status = status;
    auto shared = std::make_shared<std::string>(f.kind == K::gzip ? gzip(body) : std::move(body));
    if (f.kind == K::gzip) res.set_header("Content-Encoding", "gzip");
    const std::size_t cut = f.kind == K::truncated_body || f.kind == K::stall_body ? shared->size() / 2 : shared->size();
    // A sized provider: the body goes out as given, never re-encoded.
    res.set_content_provider(
        shared->size(), "text/plain",
        [this, shared, cut, kind = f.kind, delay = f.delay](std::size_t offset, std::size_t, httplib::DataSink& sink) {
          if (offset >= cut) {
            if (kind == K::stall_body) wait_for(delay);
            return false;  // closes the connection short of Content-Length
          }
          std::size_t n = std::min<std::size_t>(cut - offset, 1 << 16);
          return sink.write(shared->data() + offset, n);
        });
  }
};

TestGate::TestGate(TestGateOptions options) : impl_(std::make_unique<Impl>()), host_(options.host) {
  impl_->options = std::move(options);
  Impl* impl = impl_.get();
  if (impl->options.trust_in_process) trust_process_ca_once();

  const Authority* issuer = &process_ca();
  std::optional<Authority> stranger;
  if (impl->options.certificate == GateCertificate::untrusted) {
    stranger = make_authority("Nobody's CA");
    issuer = &*stranger;
  }
  Key key = new_key();
  Cert cert = issue(key.get(), "127.0.0.1", false, issuer->cert.get(), issuer->key.get());

  if (impl->options.fault.kind == GateFault::Kind::close_connection) {
    impl->server = std::make_unique<SilentServer>(cert.get(), key.get(), [impl] { impl->record({"POST", "/gate", {}, 0, {}}); });
  } else {
    impl->server = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
  }
  if (!impl->server->is_valid()) die("the HTTPS server did not take its certificate");
  impl->server->set_keep_alive_max_count(1);
  impl->server->set_tcp_nodelay(true);
  impl->server->Post("/gate", [impl](const httplib::Request& req, httplib::Response& res) {
    try {
      impl->handle(req, res);
    } catch (const std::exception& e) {
      res.status = 500;
      res.set_content(std::string("test gate fault: ") + e.what(), "text/plain");
    }
  });
  try {
    if (impl->options.port == 0) {
      port_ = impl->server->bind_to_any_port(host_);
    } else if (impl->server->bind_to_port(host_, impl->options.port)) {
      port_ = impl->options.port;
    } else {
      port_ = -1;
    }
  } catch (const std::exception& e) {
    die(std::string("cannot bind: ") + e.what());
  }
  if (port_ <= 0) die("cannot bind " + host_ + ":" + std::to_string(impl->options.port));
  impl->thread = std::thread([impl] {
    try {
      impl->server->listen_after_bind();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "test gate: server stopped: %s\n", e.what());
    }
  });
}

TestGate::~TestGate() { stop(); }

void TestGate::stop() {
  if (!impl_ || !impl_->thread.joinable()) return;
  {
    std::lock_guard lock(impl_->mu);
    impl_->stopping = true;
  }
  impl_->cv.notify_all();
  // The listening thread may not have entered its loop yet; stop() only
  // takes effect once it has.
  for (int i = 0; i < 5000 && !impl_->server->is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  impl_->server->stop();
  impl_->thread.join();
}

std::string TestGate::vault_url() const { return "https://" + host_ + ":" + std::to_string(port_); }
std::string TestGate::gate_url() const { return vault_url() + "/gate"; }

std::vector<SeenRequest> TestGate::requests() const {
  std::lock_guard lock(impl_->mu);
  return impl_->seen;
}

void TestGate::trust_test_ca() { trust_process_ca_once(); }

const std::string& TestGate::ca_pem() { return process_ca().pem; }

std::filesystem::path TestGate::write_ca_file(const std::filesystem::path& dir) {
  auto path = dir / "ca.pem";
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << ca_pem();
  if (!f) die("cannot write " + path.string());
  return path;
}

}  // namespace pellucor::testing
