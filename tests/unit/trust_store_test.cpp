#include "gate/trust_store.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/test_gate.h"

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

TEST(TrustedRoots, BuiltOncePerProcess) {
  const TrustedRoots& a = trusted_roots();
  const TrustedRoots& b = trusted_roots();
  EXPECT_EQ(&a, &b);
  EXPECT_GE(a.roots.size(), builtin_roots().size());
  EXPECT_EQ(client_trust_store(), client_trust_store());
}

}  // namespace
}  // namespace pellucor
