#include "gate/trust_store.h"

#include <curl/curl.h>
#include <dirent.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

namespace pellucor {
namespace {

constexpr std::string_view kExcludedPatterns[] = {"emSign"};

// AEAD suites only, TLS 1.3 first; key exchange over X25519, P-256, P-384.
constexpr const char* kTls13Suites = "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kGroups = "X25519:P-256:P-384";

bool same_bytes(RootDer a, RootDer b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Appends every CERTIFICATE block of a PEM file; stops at the first bad block
// and keeps what came before it.
void read_pem_file(const std::string& path, std::vector<std::vector<std::uint8_t>>& out) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (bio == nullptr) {
    ERR_clear_error();
    return;
  }
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    if (PEM_read_bio(bio, &name, &header, &data, &len) != 1) break;
    if (std::string_view(name) == "CERTIFICATE" && len > 0) out.emplace_back(data, data + len);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
  }
  BIO_free(bio);
  ERR_clear_error();
}

// OpenSSL's folder convention: certificates under their subject hash,
// "<8 lowercase hex>.<decimal>".
bool is_hashed_name(std::string_view name) {
  if (name.size() < 10 || name[8] != '.') return false;
  for (std::size_t i = 0; i < 8; ++i) {
    char c = name[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return std::all_of(name.begin() + 9, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void read_pem_dir(const std::string& dir, std::vector<std::vector<std::uint8_t>>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  std::vector<std::string> names;
  while (dirent* e = ::readdir(d)) {
    if (is_hashed_name(e->d_name)) names.emplace_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const auto& n : names) read_pem_file(dir + "/" + n, out);
}

}  // namespace

std::span<const std::string_view> excluded_root_patterns() { return kExcludedPatterns; }

bool der_contains_excluded_pattern(RootDer der) {
  for (std::string_view pattern : kExcludedPatterns) {
    if (der.size() < pattern.size()) continue;
    for (std::size_t i = 0; i + pattern.size() <= der.size(); ++i) {
      if (std::equal(pattern.begin(), pattern.end(), der.begin() + static_cast<std::ptrdiff_t>(i),
                     [](char p, std::uint8_t b) { return static_cast<std::uint8_t>(p) == b; }))
        return true;
    }
  }
  return false;
}

std::optional<std::string> process_env(std::string_view name) {
  const char* v = std::getenv(std::string(name).c_str());
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

std::vector<std::vector<std::uint8_t>> load_system_roots(const EnvLookup& env, std::string_view default_bundle) {
  std::optional<std::string> file = env("SSL_CERT_FILE");
  std::vector<std::string> dirs;
  if (auto dir_list = env("SSL_CERT_DIR")) {
    std::string_view rest = *dir_list;
    while (true) {
      std::size_t colon = rest.find(':');
      std::string_view item = rest.substr(0, colon);
      if (!item.empty()) dirs.emplace_back(item);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  std::vector<std::vector<std::uint8_t>> loaded;
  if (file || !dirs.empty()) {
    if (file) read_pem_file(*file, loaded);
    for (const auto& d : dirs) read_pem_dir(d, loaded);
  } else {
    read_pem_file(std::string(default_bundle), loaded);
  }
  std::vector<std::vector<std::uint8_t>> unique;
  unique.reserve(loaded.size());
  for (auto& der : loaded) {
    bool seen = std::any_of(unique.begin(), unique.end(), [&](const auto& u) { return same_bytes(u, der); });
    if (!seen) unique.push_back(std::move(der));
  }
  return unique;
}

TrustedRoots merge_trusted_roots(std::vector<std::vector<std::uint8_t>> system, std::span<const RootDer> builtin) {
  TrustedRoots out;
  std::erase_if(system, [](const auto& der) { return der_contains_excluded_pattern(der); });
  out.system = std::move(system);
  out.roots.reserve(out.system.size() + builtin.size());
  for (const auto& der : out.system) out.roots.emplace_back(der);
  for (RootDer b : builtin) {
    bool present = std::any_of(out.roots.begin(), out.roots.end(), [&](RootDer r) { return same_bytes(r, b); });
    if (!present) out.roots.push_back(b);
  }
  return out;
}

const std::vector<RootDer>& builtin_roots() {
  static const std::vector<RootDer> roots = [] {
    std::vector<RootDer> kept;
    for (RootDer der : builtin_root_table()) {
      if (!der_contains_excluded_pattern(der)) kept.push_back(der);
    }
    return kept;
  }();
  return roots;
}

const TrustedRoots& trusted_roots() {
  static const TrustedRoots roots = merge_trusted_roots(load_system_roots(process_env), builtin_roots());
  return roots;
}

X509_STORE* client_trust_store() {
  static X509_STORE* const store = [] {
    X509_STORE* s = X509_STORE_new();
    if (s == nullptr) std::abort();
    for (RootDer der : trusted_roots().roots) {
      const unsigned char* p = der.data();
      X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
      if (cert == nullptr) continue;  // an unparsable root is no anchor
      X509_STORE_add_cert(s, cert);
      X509_free(cert);
    }
    // Any listed certificate is a trust anchor, as with a plain list of roots.
    X509_STORE_set_flags(s, X509_V_FLAG_PARTIAL_CHAIN);
    ERR_clear_error();
    return s;
  }();
  return store;
}

namespace {

CURLcode install_trust_store(CURL*, void* ssl_ctx, void*) {
  SSL_CTX* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  SSL_CTX_set1_cert_store(ctx, client_trust_store());
  return CURLE_OK;
}

}  // namespace

bool apply_client_tls_config(CURL* h) {
  bool ok = true;
  auto set = [&](CURLcode c) { ok = ok && c == CURLE_OK; };
  // Build the store before the first connection so no connection waits on it
  // while its deadline runs.
  (void)client_trust_store();
  set(curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_3)));
  set(curl_easy_setopt(h, CURLOPT_SSL_CIPHER_LIST, kTls12Suites));
  set(curl_easy_setopt(h, CURLOPT_TLS13_CIPHERS, kTls13Suites));
  set(curl_easy_setopt(h, CURLOPT_SSL_EC_CURVES, kGroups));
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
  set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
  set(curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L));
  // No CA file or folder of libcurl's own: the shared store is the only one.
  set(curl_easy_setopt(h, CURLOPT_CAINFO, static_cast<char*>(nullptr)));
  set(curl_easy_setopt(h, CURLOPT_CAPATH, static_cast<char*>(nullptr)));
  set(curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &install_trust_store));
  set(curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, static_cast<void*>(nullptr)));
  return ok;
}

}  // namespace pellucor
