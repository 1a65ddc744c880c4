// Keys and certificates that tests make on the spot: owning pointers for the
// OpenSSL objects, a fresh P-256 key, and certificate extensions.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

namespace pellucor::testing {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

// new_p256_key: a fresh P-256 key; null when OpenSSL cannot make one.
Key new_p256_key();

// add_extension adds extension `nid` of the configuration text `value` to
// `cert`, as issued by `issuer` (for key identifiers); false when OpenSSL
// cannot build it.
[[nodiscard]] bool add_extension(X509* cert, X509* issuer, int nid, const char* value);

}  // namespace pellucor::testing
