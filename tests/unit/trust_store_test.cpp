#include "gate/trust_store.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include "tests/support/test_gate.h"
#include "tests/support/x509_fixture.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;

bool contains_text(RootDer der, std::string_view text) {
  std::string_view bytes(reinterpret_cast<const char*>(der.data()), der.size());
  return bytes.find(text) != std::string_view::npos;
}

std::string pem_of(RootDer der) {
  const unsigned char* p = der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(cert, nullptr);
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(len));
  BIO_free(bio);
  X509_free(cert);
  return pem;
}

std::vector<std::uint8_t> der_of_pem(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  EXPECT_NE(cert, nullptr);
  unsigned char* out = nullptr;
  int len = i2d_X509(cert, &out);
  std::vector<std::uint8_t> der(out, out + len);
  OPENSSL_free(out);
  X509_free(cert);
  BIO_free(bio);
  return der;
}

EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](std::string_view name) -> std::optional<std::string> {
    auto it = vars.find(std::string(name));
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

bool same(RootDer a, RootDer b) { return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()); }

class TrustStoreFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-trust-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path write(const std::string& name, const std::string& text) {
    auto p = dir_ / name;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  fs::path dir_;
};

TEST(BuiltinRoots, TableLessExcludedRoots) {
  auto table = builtin_root_table();
  ASSERT_GT(table.size(), 100u);
  std::size_t excluded = 0;
  for (RootDer der : table) excluded += contains_text(der, "emSign") ? 1 : 0;
  EXPECT_GE(excluded, 1u) << "the distribution's bundle carries emSign roots; the exclusion must see them";
  const auto& kept = builtin_roots();
  EXPECT_EQ(kept.size(), table.size() - excluded);
  for (RootDer der : kept) EXPECT_FALSE(contains_text(der, "emSign"));
  // Table order is kept.
  std::size_t j = 0;
  for (RootDer der : table) {
    if (!contains_text(der, "emSign")) {
      EXPECT_TRUE(same(der, kept[j++]));
    }
  }
  EXPECT_EQ(&builtin_roots(), &kept);  // built once
}

TEST(BuiltinRoots, ExcludedPatternMatching) {
  auto bytes = [](std::string_view s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
  };
  for (auto [text, expected] : std::initializer_list<std::pair<std::string_view, bool>>{
           {"emSign", true}, {"xxemSign", true}, {"emSignxx", true}, {"xemSigny", true},
           {"emSig", false}, {"", false}, {"EMSIGN", false}, {"emsign", false}, {"em Sign", false}}) {
    auto b = bytes(text);
    EXPECT_EQ(der_contains_excluded_pattern(b), expected) << text;
  }
}

TEST_F(TrustStoreFiles, EmptyOrUnreadableCertFileLeavesTheBuiltinRoots) {
  auto empty = write("empty.pem", "");
  for (const std::string& file : {std::string(""), empty.string(), (dir_ / "missing.pem").string()}) {
    auto system = load_system_roots(env_of({{"SSL_CERT_FILE", file}}), (dir_ / "no-bundle").string());
    EXPECT_TRUE(system.empty()) << file;
    TrustedRoots merged = merge_trusted_roots(std::move(system), builtin_roots());
    ASSERT_EQ(merged.roots.size(), builtin_roots().size()) << file;
    for (std::size_t i = 0; i < merged.roots.size(); ++i) EXPECT_TRUE(same(merged.roots[i], builtin_roots()[i]));
  }
}

TEST_F(TrustStoreFiles, SystemCopyOfABuiltinRootIsListedOnceInTheSystemPlace) {
  RootDer shared_root = builtin_roots().at(5);
  auto test_ca = der_of_pem(testing::TestGate::ca_pem());
  auto file = write("bundle.pem", "junk before\n" + pem_of(shared_root) + testing::TestGate::ca_pem() +
                                      pem_of(shared_root));  // twice in the file, too
  auto system = load_system_roots(env_of({{"SSL_CERT_FILE", file.string()}}));
  ASSERT_EQ(system.size(), 2u);
  TrustedRoots merged = merge_trusted_roots(std::move(system), builtin_roots());
  ASSERT_EQ(merged.roots.size(), builtin_roots().size() + 1);
  EXPECT_TRUE(same(merged.roots[0], shared_root));
  EXPECT_TRUE(same(merged.roots[1], test_ca));
  std::size_t copies = 0;
  for (RootDer r : merged.roots) copies += same(r, shared_root) ? 1 : 0;
  EXPECT_EQ(copies, 1u);
}

TEST_F(TrustStoreFiles, ExcludedSystemRootIsDropped) {
  std::optional<RootDer> emsign;
  for (RootDer der : builtin_root_table())
    if (contains_text(der, "emSign")) {
      emsign = der;
    }
  ASSERT_TRUE(emsign);
  auto file = write("bundle.pem", pem_of(*emsign) + testing::TestGate::ca_pem());
  TrustedRoots merged =
      merge_trusted_roots(load_system_roots(env_of({{"SSL_CERT_FILE", file.string()}})), builtin_roots());
  EXPECT_EQ(merged.roots.size(), builtin_roots().size() + 1);
  for (RootDer r : merged.roots) EXPECT_FALSE(contains_text(r, "emSign"));
}

TEST_F(TrustStoreFiles, CertDirListReadsHashedNamesOnlyAndSkipsEmptyItems) {
  auto ca = testing::TestGate::ca_pem();
  RootDer other = builtin_roots().at(0);
  write("a/0123abcd.0", ca);
  write("a/readme.pem", pem_of(other));  // not a hashed name: OpenSSL would not read it either
  write("b/89abcdef.1", pem_of(other));
  auto default_bundle = write("default.pem", pem_of(builtin_roots().at(1)));
  std::string dirs = ":" + (dir_ / "a").string() + "::" + (dir_ / "missing").string() + ":" + (dir_ / "b").string() + ":";
  auto system = load_system_roots(env_of({{"SSL_CERT_DIR", dirs}}), default_bundle.string());
  ASSERT_EQ(system.size(), 2u);
  EXPECT_TRUE(same(system[0], der_of_pem(ca)));
  EXPECT_TRUE(same(system[1], other));
}

TEST_F(TrustStoreFiles, DefaultBundleWhenNothingIsNamed) {
  auto default_bundle = write("default.pem", testing::TestGate::ca_pem());
  // A list of only empty items names no folder.
  for (auto env : {env_of({}), env_of({{"SSL_CERT_DIR", "::"}})}) {
    auto system = load_system_roots(env, default_bundle.string());
    ASSERT_EQ(system.size(), 1u);
    EXPECT_TRUE(same(system[0], der_of_pem(testing::TestGate::ca_pem())));
  }
}

// A FIFO with no writer used to hang the load in its open, and an endless
// device in its read, before any deadline of the gate call had started. What
// is not a regular file is skipped like an unreadable one; links to regular
// files (the usual hashed names) are still followed.
TEST_F(TrustStoreFiles, WhatIsNotARegularFileIsSkippedWithoutWaiting) {
  const std::string ca = testing::TestGate::ca_pem();
  const fs::path fifo = dir_ / "fifo.pem";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  write("certs/0123abcd.0", ca);
  ASSERT_EQ(::mkfifo((dir_ / "certs" / "0123abcd.1").c_str(), 0600), 0);
  fs::create_symlink(dir_ / "certs" / "0123abcd.0", dir_ / "certs" / "89abcdef.0");
  const std::string certs = (dir_ / "certs").string();
  struct Case {
    std::map<std::string, std::string> env;
    std::size_t roots;
  } cases[] = {
      {{{"SSL_CERT_FILE", fifo.string()}}, 0},
      {{{"SSL_CERT_FILE", "/dev/zero"}}, 0},
      {{{"SSL_CERT_FILE", fifo.string()}, {"SSL_CERT_DIR", certs}}, 1},
      {{{"SSL_CERT_DIR", certs}}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.env.begin()->second + (c.env.size() > 1 ? " and a folder" : ""));
    // Loaded on a thread of its own, so that a hang fails the test instead of
    // stalling it; the thread owns everything it uses.
    auto done = std::make_shared<std::promise<std::size_t>>();
    std::future<std::size_t> loaded = done->get_future();
    std::thread([done, env = c.env, bundle = (dir_ / "no-bundle").string()] {
      done->set_value(load_system_roots(env_of(env), bundle).size());
    }).detach();
    if (loaded.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "the load hangs";
      // A writer lets a load stuck opening a FIFO go on.
      for (const fs::path& p : {fifo, dir_ / "certs" / "0123abcd.1"}) {
        const int unblock = ::open(p.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (unblock >= 0) ::close(unblock);
      }
      continue;
    }
    EXPECT_EQ(loaded.get(), c.roots);  // the CA once: the link is a duplicate
  }
}

TEST(TrustedRoots, BuiltOncePerProcess) {
  const TrustedRoots& a = trusted_roots();
  const TrustedRoots& b = trusted_roots();
  EXPECT_EQ(&a, &b);
  EXPECT_GE(a.roots.size(), builtin_roots().size());
  EXPECT_EQ(client_trust_store(), client_trust_store());
}

// Certificates made on the spot, to give the store chains of known shape.
using testing::Cert;
using testing::Key;
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
using Store = std::unique_ptr<X509_STORE, StoreFree>;

Key new_key() { return testing::new_p256_key(); }

// A name of one common name, of the given ASN.1 string type.
X509_NAME* common_name(std::string_view cn, int string_type) {
  X509_NAME* name = X509_NAME_new();
  X509_NAME_ENTRY* entry = X509_NAME_ENTRY_create_by_NID(
      nullptr, NID_commonName, string_type, reinterpret_cast<const unsigned char*>(cn.data()), static_cast<int>(cn.size()));
  X509_NAME_add_entry(name, entry, -1, 0);
  X509_NAME_ENTRY_free(entry);
  return name;
}

struct CertSpec {
  EVP_PKEY* key;
  X509_NAME* subject;
  X509_NAME* issuer;
  EVP_PKEY* signer;
  bool ca = false;
  X509* issuer_cert = nullptr;  // names the issuer's key in the certificate
  bool v1 = false;
};

void add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  ASSERT_TRUE(testing::add_extension(cert, issuer, nid, value));
}

Cert make_cert(const CertSpec& spec) {
  Cert cert(X509_new());
  X509* c = cert.get();
  X509_set_version(c, spec.v1 ? 0 : 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), 1 + static_cast<long>(std::rand() % 100000));
  X509_gmtime_adj(X509_getm_notBefore(c), -3600);
  X509_gmtime_adj(X509_getm_notAfter(c), 24 * 3600);
  X509_set_pubkey(c, spec.key);
  X509_set_subject_name(c, spec.subject);
  X509_set_issuer_name(c, spec.issuer);
  if (spec.ca) {
    add_extension(c, c, NID_basic_constraints, "critical,CA:TRUE");
    add_extension(c, c, NID_subject_key_identifier, "hash");
  }
  if (spec.issuer_cert != nullptr) add_extension(c, spec.issuer_cert, NID_authority_key_identifier, "keyid:always");
  EXPECT_GT(X509_sign(c, spec.signer, EVP_sha256()), 0);
  return cert;
}

std::vector<std::uint8_t> der_of(X509* cert) {
  unsigned char* out = nullptr;
  int len = i2d_X509(cert, &out);
  std::vector<std::uint8_t> der(out, out + len);
  OPENSSL_free(out);
  return der;
}

// eager_store decodes every root up front: the plain store whose verdicts the
// lazy one must match.
Store eager_store(const std::vector<RootDer>& roots) {
  Store store(X509_STORE_new());
  for (RootDer der : roots) {
    const unsigned char* p = der.data();
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (cert) X509_STORE_add_cert(store.get(), cert.get());
  }
  X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN);
  return store;
}

// verify returns X509_V_OK or the reason `leaf` does not chain to a root.
int verify(X509_STORE* store, X509* leaf) {
  X509_STORE_CTX* ctx = X509_STORE_CTX_new();
  X509_STORE_CTX_init(ctx, store, leaf, nullptr);
  const int ok = X509_verify_cert(ctx);
  const int error = X509_STORE_CTX_get_error(ctx);
  X509_STORE_CTX_free(ctx);
  return ok == 1 ? X509_V_OK : error;
}

TEST(CertificateSubject, FindsTheSubjectOfEveryBuiltinRoot) {
  for (RootDer der : builtin_root_table()) {
    auto subject = certificate_subject(der);
    ASSERT_TRUE(subject.has_value());
    const unsigned char* p = der.data();
    Cert cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ASSERT_NE(cert, nullptr);
    unsigned char* name = nullptr;
    const int len = i2d_X509_NAME(X509_get_subject_name(cert.get()), &name);
    EXPECT_TRUE(same(*subject, RootDer(name, static_cast<std::size_t>(len))));
    OPENSSL_free(name);
  }
}

TEST(CertificateSubject, VersionOneAndMalformedCertificates) {
  Key key = new_key();
  X509_NAME* subject = common_name("Subject", MBSTRING_ASC);
  X509_NAME* issuer = common_name("Issuer", MBSTRING_ASC);
  unsigned char* subject_der = nullptr;
  const int subject_len = i2d_X509_NAME(subject, &subject_der);
  for (bool v1 : {false, true}) {
    auto der = der_of(make_cert({key.get(), subject, issuer, key.get(), false, nullptr, v1}).get());
    auto found = certificate_subject(der);
    ASSERT_TRUE(found.has_value()) << "v1 " << v1;
    EXPECT_TRUE(same(*found, RootDer(subject_der, static_cast<std::size_t>(subject_len))));
    // Cut anywhere before the subject ends, the structure no longer walks.
    const std::size_t subject_end = static_cast<std::size_t>(found->data() + found->size() - der.data());
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{4}, subject_end - 1})
      EXPECT_FALSE(certificate_subject(RootDer(der.data(), cut)).has_value()) << "cut at " << cut;
  }
  const std::vector<std::vector<std::uint8_t>> malformed = {
      {0x30, 0x80, 0x30, 0x80, 0x00, 0x00, 0x00, 0x00},  // indefinite lengths
      {0x31, 0x03, 0x30, 0x01, 0x00},                    // a SET, not a SEQUENCE
      {0x30, 0x05, 0x30, 0x03, 0x02, 0x01, 0x01},        // a TBS of a serial number alone
      {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},              // a length past the end
      // A subject whose SEQUENCE tag is spelt in the long form.
      {0x30, 0x0E, 0x30, 0x0C, 0x02, 0x01, 0x01, 0x30, 0x00, 0x30, 0x00, 0x30, 0x00, 0x3F, 0x10, 0x00},
  };
  for (const auto& der : malformed) EXPECT_FALSE(certificate_subject(der).has_value());
  OPENSSL_free(subject_der);
  X509_NAME_free(subject);
  X509_NAME_free(issuer);
}

// The store's anchors are the listed roots, found by name when a chain asks;
// its verdicts are those of a store that decodes every root up front.
TEST(LazyTrustStore, VerifiesChainsToListedRootsOnly) {
  Key ca_key = new_key();
  Key old_key = new_key();
  Key leaf_key = new_key();
  X509_NAME* ca_name = common_name("Pellucor Lazy CA", MBSTRING_ASC);
  X509_NAME* printable_name = common_name("Pellucor Lazy CA", V_ASN1_PRINTABLESTRING);
  X509_NAME* leaf_name = common_name("leaf.example", MBSTRING_ASC);
  Cert ca = make_cert({ca_key.get(), ca_name, ca_name, ca_key.get(), true});
  // The same name over an older key, as in a key rollover.
  Cert old_ca = make_cert({old_key.get(), ca_name, ca_name, old_key.get(), true});
  // The same name in another string type: names compare in canonical form.
  Cert printable_ca = make_cert({ca_key.get(), printable_name, printable_name, ca_key.get(), true});
  Cert leaf = make_cert({leaf_key.get(), leaf_name, ca_name, ca_key.get(), false, ca.get()});
  const auto ca_der = der_of(ca.get());
  const auto old_der = der_of(old_ca.get());
  const auto printable_der = der_of(printable_ca.get());
  const auto leaf_der = der_of(leaf.get());
  const std::vector<std::uint8_t> garbage = {0x30, 0x03, 0x02, 0x01, 0x05};
  const RootDer truncated(ca_der.data(), ca_der.size() - 10);

  struct Case {
    const char* what;
    std::vector<RootDer> roots;
    int result;
  };
  std::vector<RootDer> builtin_and_ca = builtin_roots();
  builtin_and_ca.push_back(ca_der);
  const std::vector<Case> cases = {
      {"issuer listed after the built-in roots", builtin_and_ca, X509_V_OK},
      {"issuer not listed", builtin_roots(), X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"no roots at all", {}, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"issuer listed after another key of its name", {old_der, ca_der}, X509_V_OK},
      {"another key of its name only", {old_der}, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"issuer name in another string type", {printable_der}, X509_V_OK},
      {"unparsable entries before the issuer", {garbage, truncated, ca_der}, X509_V_OK},
      {"unparsable entries only", {garbage, truncated}, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"the leaf itself listed", {leaf_der}, X509_V_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Store store(make_trust_store(c.roots));
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(verify(store.get(), leaf.get()), c.result);
    EXPECT_EQ(verify(eager_store(c.roots).get(), leaf.get()), c.result);
  }
  // Only the roots a chain asked for were decoded into the store.
  Store store(make_trust_store(builtin_and_ca));
  ASSERT_EQ(verify(store.get(), leaf.get()), X509_V_OK);
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(store.get())), 1);
  X509_NAME_free(ca_name);
  X509_NAME_free(printable_name);
  X509_NAME_free(leaf_name);
}

}  // namespace
}  // namespace pellucor
