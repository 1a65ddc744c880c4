// certificate_subject on arbitrary bytes, against OpenSSL's full decoder. A
// subject it finds lies inside the input and is a Name; when OpenSSL also
// decodes the input as a certificate, the two subjects are the same name, so
// the trust store's index finds a root under the name its certificate carries.
#include <openssl/err.h>
#include <openssl/x509.h>

#include "fuzz_common.h"
#include "gate/trust_store.h"

using namespace pellucor;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const RootDer der(data, size);
  const auto subject = certificate_subject(der);
  X509_NAME* name = nullptr;
  if (subject) {
    FUZZ_CHECK(subject->data() >= data && subject->data() + subject->size() <= data + size);
    FUZZ_CHECK(!subject->empty() && (*subject)[0] == 0x30);
    const unsigned char* p = subject->data();
    name = d2i_X509_NAME(nullptr, &p, static_cast<long>(subject->size()));
  }
  const unsigned char* p = data;
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(size));
  if (cert != nullptr && name != nullptr) FUZZ_CHECK(X509_NAME_cmp(name, X509_get_subject_name(cert)) == 0);
  X509_free(cert);
  X509_NAME_free(name);
  ERR_clear_error();
  return 0;
}
