#include "tests/support/x509_fixture.h"

#include <openssl/x509v3.h>

namespace pellucor::testing {

Key new_p256_key() { return Key(EVP_EC_gen("P-256")); }

bool add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool added = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return added;
}

}  // namespace pellucor::testing
