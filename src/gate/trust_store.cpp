#include "gate/trust_store.h"

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>

#include "gate/local_files.h"

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
// and keeps what came before it. Only a regular file is read (links
// followed): a FIFO named by SSL_CERT_FILE, or put in a certificate folder,
// would otherwise hang the first gate call in its open before any deadline
// runs, and a device could be endless. Like an unreadable file, it is skipped.
void read_pem_file(const std::string& path, std::vector<std::vector<std::uint8_t>>& out) {
  auto opened = open_regular_file(path, O_RDONLY);
  if (!opened) return;
  BIO* file = BIO_new_fd(opened->fd.get(), BIO_CLOSE);
  if (file == nullptr) {
    ERR_clear_error();
    return;
  }
  opened->fd.release();
  // A descriptor BIO reads a line one byte per system call, which the PEM
  // reader turns into a read() for every byte of the system bundle: the
  // buffer in front of it makes that a few large reads.
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (buffer == nullptr) {
    BIO_free(file);
    ERR_clear_error();
    return;
  }
  BIO* bio = BIO_push(buffer, file);
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
  BIO_free_all(bio);
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

namespace {

// One DER element: where it starts, where its contents start, where it ends.
struct DerElement {
  const unsigned char* start;
  const unsigned char* contents;
  const unsigned char* end;
  int tag;
  int cls;
  bool constructed;
};

// read_element reads the element at `p`; nullopt when its header is bad, its
// length indefinite, or its contents run past `end`.
std::optional<DerElement> read_element(const unsigned char* p, const unsigned char* end) {
  const unsigned char* q = p;
  long len = 0;
  int tag = 0;
  int cls = 0;
  const int flags = ASN1_get_object(&q, &len, &tag, &cls, end - p);
  // 0x80: a bad header or contents past the end; 0x21: indefinite length.
  if ((flags & 0x80) != 0 || flags == 0x21) return std::nullopt;
  return DerElement{p, q, q + len, tag, cls, (flags & V_ASN1_CONSTRUCTED) != 0};
}

// A SEQUENCE in its one DER form: the identifier octet 0x30 (a high-tag-number
// spelling of the same tag is not DER).
bool is_sequence(const std::optional<DerElement>& e) {
  return e && *e->start == 0x30 && e->cls == V_ASN1_UNIVERSAL && e->tag == V_ASN1_SEQUENCE && e->constructed;
}

}  // namespace

std::optional<RootDer> certificate_subject(RootDer der) {
  // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
  //   serialNumber, signature, issuer, validity, subject, ... }, ... }
  const unsigned char* end = der.data() + der.size();
  auto cert = read_element(der.data(), end);
  std::optional<DerElement> tbs;
  if (is_sequence(cert)) tbs = read_element(cert->contents, cert->end);
  std::optional<DerElement> next;
  if (is_sequence(tbs)) {
    next = read_element(tbs->contents, tbs->end);
    if (next && next->cls == V_ASN1_CONTEXT_SPECIFIC && next->tag == 0) next = read_element(next->end, tbs->end);
    for (int skipped = 0; skipped < 4 && next; ++skipped) next = read_element(next->end, tbs->end);
  }
  ERR_clear_error();
  if (!is_sequence(next)) return std::nullopt;
  return RootDer(next->start, static_cast<std::size_t>(next->end - next->start));
}

namespace {

// The state of a store's root lookup: every root's subject name, indexed when
// the store is made, and each root once decoded (and so added to the store).
class LazyRoots {
 public:
  // Decoding a Name alone is cheap; a root whose outer structure cannot be
  // walked is decoded whole to learn its name, so the anchors stay exactly
  // the roots that decode.
  explicit LazyRoots(std::span<const RootDer> roots)
      : roots_(roots), names_(roots.size(), nullptr), decoded_(roots.size(), nullptr) {
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      if (auto subject = certificate_subject(roots_[i])) {
        const unsigned char* p = subject->data();
        names_[i] = d2i_X509_NAME(nullptr, &p, static_cast<long>(subject->size()));
      }
      if (names_[i] != nullptr) continue;
      if (X509* cert = decode(roots_[i])) {
        names_[i] = X509_NAME_dup(X509_get_subject_name(cert));
        X509_free(cert);
      }
    }
    ERR_clear_error();
  }
  ~LazyRoots() {
    for (X509_NAME* n : names_) X509_NAME_free(n);
    for (X509* c : decoded_) X509_free(c);
  }
  LazyRoots(const LazyRoots&) = delete;
  LazyRoots& operator=(const LazyRoots&) = delete;

  // add_matching adds every root named `name` to `store` (once each) and
  // returns the first of them, or null when no root carries that name.
  X509* add_matching(X509_STORE* store, const X509_NAME* name) {
    std::lock_guard lock(mu_);
    X509* first = nullptr;
    for (std::size_t i = 0; i < roots_.size(); ++i) {
      if (names_[i] == nullptr || X509_NAME_cmp(names_[i], name) != 0) continue;
      if (decoded_[i] == nullptr) {
        decoded_[i] = decode(roots_[i]);
        if (decoded_[i] == nullptr) continue;  // an unparsable root is no anchor
        X509_STORE_add_cert(store, decoded_[i]);
      }
      if (first == nullptr) first = decoded_[i];
    }
    ERR_clear_error();
    return first;
  }

 private:
  static X509* decode(RootDer der) {
    const unsigned char* p = der.data();
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  }

  std::span<const RootDer> roots_;
  std::mutex mu_;
  std::vector<X509_NAME*> names_;  // null: the root does not decode
  std::vector<X509*> decoded_;     // null: not asked for yet
};

int lookup_root_by_subject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* ret) {
  if (type != X509_LU_X509 || name == nullptr || ret == nullptr) return 0;
  auto* lazy = static_cast<LazyRoots*>(X509_LOOKUP_get_method_data(lookup));
  X509_STORE* store = X509_LOOKUP_get_store(lookup);
  if (lazy == nullptr || store == nullptr) return 0;
  X509* found = lazy->add_matching(store, name);
  if (found == nullptr || X509_OBJECT_set1_X509(ret, found) != 1) return 0;
  // What a lookup returns is borrowed: OpenSSL takes its own reference to it.
  // The store and the index keep the certificate alive.
  X509_free(found);
  return 1;
}

void free_lookup_state(X509_LOOKUP* lookup) {
  delete static_cast<LazyRoots*>(X509_LOOKUP_get_method_data(lookup));
  X509_LOOKUP_set_method_data(lookup, nullptr);
}

X509_LOOKUP_METHOD* root_lookup_method() {
  static X509_LOOKUP_METHOD* const method = [] {
    X509_LOOKUP_METHOD* m = X509_LOOKUP_meth_new("pellucor trusted roots");
    if (m == nullptr) return m;
    X509_LOOKUP_meth_set_get_by_subject(m, lookup_root_by_subject);
    X509_LOOKUP_meth_set_free(m, free_lookup_state);
    return m;
  }();
  return method;
}

}  // namespace

X509_STORE* make_trust_store(std::span<const RootDer> roots) {
  X509_LOOKUP_METHOD* method = root_lookup_method();
  X509_STORE* store = X509_STORE_new();
  if (method == nullptr || store == nullptr) {
    X509_STORE_free(store);
    return nullptr;
  }
  X509_LOOKUP* lookup = X509_STORE_add_lookup(store, method);
  auto* lazy = new (std::nothrow) LazyRoots(roots);
  if (lookup == nullptr || lazy == nullptr || X509_LOOKUP_set_method_data(lookup, lazy) != 1) {
    delete lazy;
    X509_STORE_free(store);
    return nullptr;
  }
  // Any listed certificate is a trust anchor, as with a plain list of roots.
  X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
  ERR_clear_error();
  return store;
}

X509_STORE* client_trust_store() {
  static X509_STORE* const store = [] {
    // Building the store fails only when memory runs out. It is first built
    // by apply_client_tls_config before libcurl can call back for it, so
    // this never throws through C.
    X509_STORE* s = make_trust_store(trusted_roots().roots);
    if (s == nullptr) throw std::bad_alloc();
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
