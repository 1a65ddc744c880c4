// ML-KEM-768 against the published vector suites (Wycheproof, NIST ACVP,
// C2SP CCTV) in tests/vectors, plus the accumulated deterministic test.
#include "crypto/mlkem768.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/vector_files.h"

namespace pellucor::mlkem768 {
namespace {

using Bytes = std::vector<uint8_t>;

// Accepts either hex case (ACVP writes upper case, the others lower case).
Bytes unhex(std::string_view h) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    ADD_FAILURE() << "bad hex digit " << c;
    return 0;
  };
  EXPECT_EQ(h.size() % 2, 0u);
  Bytes out(h.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<uint8_t>(nibble(h[2 * i]) << 4 | nibble(h[2 * i + 1]));
  }
  return out;
}

std::string hex(std::span<const uint8_t> b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

template <typename A, typename B>
bool same(const A& a, const B& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// "name = hex" lines of the CCTV text files; the first occurrence wins.
std::map<std::string, Bytes> load_kv(const std::string& text) {
  std::map<std::string, Bytes> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const auto eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 3);
    // Skip coefficient lists and annotated lines such as "dkPKE = NTT(s) = ...".
    if (out.contains(key) || value.empty() ||
        value.find_first_not_of("0123456789abcdef") != std::string::npos) {
      continue;
    }
    out.emplace(key, unhex(value));
  }
  return out;
}

struct Keys {
  std::array<uint8_t, kPublicKeyBytes> ek{};
  std::array<uint8_t, kSecretKeyBytes> dk{};
};

Keys keygen(const Bytes& seed) {
  Keys k;
  EXPECT_EQ(seed.size(), kSeedBytes);
  keygen_derand(std::span<const uint8_t, kSeedBytes>(seed.data(), kSeedBytes), k.ek, k.dk);
  return k;
}

std::span<const uint8_t, 32> msg(const Bytes& m) { return std::span<const uint8_t, 32>(m.data(), 32); }
std::span<const uint8_t, kSecretKeyBytes> dk_of(const Bytes& dk) {
  return std::span<const uint8_t, kSecretKeyBytes>(dk.data(), kSecretKeyBytes);
}

// ---------------------------------------------------------------------------
// Round trip and the refusals of the interface itself.

TEST(MlKem768, GeneratedKeysRoundTripAndRejectForeignCiphertexts) {
  auto kp = generate();
  ASSERT_TRUE(kp.has_value());
  EXPECT_TRUE(check_encapsulation_key(kp->ek));
  EXPECT_TRUE(check_decapsulation_key(kp->dk.span()));
  auto enc = encapsulate(kp->ek);
  ASSERT_TRUE(enc.has_value());
  auto k = decapsulate(kp->dk.span(), enc->ciphertext);
  ASSERT_TRUE(k.has_value());
  EXPECT_TRUE(same(*k, enc->shared_secret));

  // A flipped bit anywhere gives a different (implicit-rejection) secret,
  // and the same one every time.
  for (std::size_t pos : {std::size_t{0}, std::size_t{959}, std::size_t{960}, kCiphertextBytes - 1}) {
    auto ct = enc->ciphertext;
    ct[pos] ^= 1;
    auto r1 = decapsulate(kp->dk.span(), ct);
    auto r2 = decapsulate(kp->dk.span(), ct);
    ASSERT_TRUE(r1.has_value() && r2.has_value());
    EXPECT_FALSE(same(*r1, enc->shared_secret)) << pos;
    EXPECT_TRUE(same(*r1, *r2)) << pos;
  }

  // Two encapsulations to one key differ.
  auto enc2 = encapsulate(kp->ek);
  ASSERT_TRUE(enc2.has_value());
  EXPECT_FALSE(same(enc->ciphertext, enc2->ciphertext));
}

TEST(MlKem768, RefusesBadLengthsAndCorruptKeys) {
  auto kp = generate();
  ASSERT_TRUE(kp.has_value());
  const std::array<uint8_t, 32> m{};
  for (std::size_t len : {std::size_t{0}, kPublicKeyBytes - 1, kPublicKeyBytes + 1}) {
    Bytes ek(kp->ek.begin(), kp->ek.end());
    ek.resize(len);
    EXPECT_FALSE(check_encapsulation_key(ek)) << len;
    auto r = encapsulate_derand(ek, m);
    ASSERT_FALSE(r.has_value()) << len;
    EXPECT_EQ(r.error().code, "PL-0027");
  }
  // Coefficient 0 set to q (3329 = 0xd01): refused by the modulus check.
  auto ek = kp->ek;
  ek[0] = 0x01;
  ek[1] = static_cast<uint8_t>((ek[1] & 0xf0) | 0x0d);
  EXPECT_FALSE(check_encapsulation_key(ek));
  EXPECT_EQ(encapsulate(ek).error().code, "PL-0027");

  auto enc = encapsulate(kp->ek);
  ASSERT_TRUE(enc.has_value());
  Bytes ct(enc->ciphertext.begin(), enc->ciphertext.end());
  for (std::size_t len : {std::size_t{0}, kCiphertextBytes - 1, kCiphertextBytes + 1}) {
    ct.resize(len);
    auto r = decapsulate(kp->dk.span(), ct);
    ASSERT_FALSE(r.has_value()) << len;
    EXPECT_EQ(r.error().code, "PL-0027");
  }
  // A decapsulation key whose embedded hash no longer matches is refused.
  auto dk = kp->dk;
  dk[kSecretKeyBytes - 40] ^= 0x80;
  EXPECT_FALSE(check_decapsulation_key(dk.span()));
  EXPECT_FALSE(decapsulate(dk.span(), enc->ciphertext).has_value());
}

// ---------------------------------------------------------------------------
// Wycheproof.

TEST(MlKem768Wycheproof, KeyGenFromSeed) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/mlkem_768_keygen_seed_test.json");
  int n = 0;
  for (const auto& g : doc["testGroups"]) {
    for (const auto& t : g["tests"]) {
      ASSERT_EQ(t["result"], "valid");
      const Keys k = keygen(unhex(t["seed"].get<std::string>()));
      EXPECT_TRUE(same(k.ek, unhex(t["ek"].get<std::string>()))) << t["tcId"];
      EXPECT_TRUE(same(k.dk, unhex(t["dk"].get<std::string>()))) << t["tcId"];
      ++n;
    }
  }
  EXPECT_EQ(n, 100);
}

TEST(MlKem768Wycheproof, KeyGenThenDecaps) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/mlkem_768_test.json");
  int n = 0;
  for (const auto& g : doc["testGroups"]) {
    for (const auto& t : g["tests"]) {
      ++n;
      SCOPED_TRACE("tcId " + t["tcId"].dump());
      const bool valid = t["result"] == "valid";
      const Bytes seed = unhex(t["seed"].get<std::string>());
      if (seed.size() != kSeedBytes) {
        // The interface takes exactly 64 seed bytes; no other length can be passed.
        EXPECT_FALSE(valid);
        continue;
      }
      const Keys k = keygen(seed);
      if (t.contains("ek")) {
        EXPECT_TRUE(same(k.ek, unhex(t["ek"].get<std::string>())));
      }
      const auto r = decapsulate(k.dk, unhex(t["c"].get<std::string>()));
      if (!valid) {
        EXPECT_FALSE(r.has_value());
        continue;
      }
      ASSERT_TRUE(r.has_value());
      EXPECT_TRUE(same(*r, unhex(t["K"].get<std::string>())));
    }
  }
  EXPECT_EQ(n, 193);
}

TEST(MlKem768Wycheproof, Encaps) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/mlkem_768_encaps_test.json");
  int n = 0, refused = 0;
  for (const auto& g : doc["testGroups"]) {
    for (const auto& t : g["tests"]) {
      ++n;
      SCOPED_TRACE("tcId " + t["tcId"].dump());
      const Bytes ek = unhex(t["ek"].get<std::string>());
      const Bytes m = unhex(t["m"].get<std::string>());
      ASSERT_EQ(m.size(), 32u);
      const auto r = encapsulate_derand(ek, msg(m));
      if (t["result"] != "valid") {
        EXPECT_FALSE(check_encapsulation_key(ek));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().code, "PL-0027");
        ++refused;
        continue;
      }
      EXPECT_TRUE(check_encapsulation_key(ek));
      ASSERT_TRUE(r.has_value());
      EXPECT_TRUE(same(r->ciphertext, unhex(t["c"].get<std::string>())));
      EXPECT_TRUE(same(r->shared_secret, unhex(t["K"].get<std::string>())));
    }
  }
  EXPECT_EQ(n, 265);
  EXPECT_EQ(refused, 132);
}

TEST(MlKem768Wycheproof, SemiExpandedDecaps) {
  PELLUCOR_LOAD_VECTORS(doc, "wycheproof/testvectors_v1/mlkem_768_semi_expanded_decaps_test.json");
  int n = 0;
  for (const auto& g : doc["testGroups"]) {
    for (const auto& t : g["tests"]) {
      ++n;
      SCOPED_TRACE("tcId " + t["tcId"].dump());
      const bool valid = t["result"] == "valid";
      const Bytes dk = unhex(t["dk"].get<std::string>());
      if (dk.size() != kSecretKeyBytes) {
        EXPECT_FALSE(valid);  // cannot be passed: the interface takes exactly 2400 bytes
        continue;
      }
      const auto r = decapsulate(dk_of(dk), unhex(t["c"].get<std::string>()));
      if (!valid) {
        EXPECT_FALSE(r.has_value());
        continue;
      }
      ASSERT_TRUE(r.has_value());
      EXPECT_TRUE(same(*r, unhex(t["K"].get<std::string>())));
    }
  }
  EXPECT_EQ(n, 9);
}

// ---------------------------------------------------------------------------
// NIST ACVP (upper-case hex).

TEST(MlKem768Acvp, KeyGen) {
  PELLUCOR_LOAD_VECTORS(doc, "acvp/ML-KEM-keyGen-FIPS203/internalProjection.json");
  int n = 0;
  for (const auto& g : doc["testGroups"]) {
    if (g["parameterSet"] != "ML-KEM-768") continue;
    for (const auto& t : g["tests"]) {
      Bytes seed = unhex(t["d"].get<std::string>());
      const Bytes z = unhex(t["z"].get<std::string>());
      seed.insert(seed.end(), z.begin(), z.end());
      const Keys k = keygen(seed);
      EXPECT_TRUE(same(k.ek, unhex(t["ek"].get<std::string>()))) << t["tcId"];
      EXPECT_TRUE(same(k.dk, unhex(t["dk"].get<std::string>()))) << t["tcId"];
      ++n;
    }
  }
  EXPECT_EQ(n, 25);
}

TEST(MlKem768Acvp, EncapDecapAndKeyChecks) {
  PELLUCOR_LOAD_VECTORS(doc, "acvp/ML-KEM-encapDecap-FIPS203/internalProjection.json");
  std::map<std::string, int> counts;
  for (const auto& g : doc["testGroups"]) {
    if (g["parameterSet"] != "ML-KEM-768") continue;
    const std::string fn = g["function"];
    for (const auto& t : g["tests"]) {
      SCOPED_TRACE(fn + " tcId " + t["tcId"].dump());
      ++counts[fn];
      if (fn == "encapsulation") {
        const Bytes m = unhex(t["m"].get<std::string>());
        const auto r = encapsulate_derand(unhex(t["ek"].get<std::string>()), msg(m));
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(same(r->ciphertext, unhex(t["c"].get<std::string>())));
        EXPECT_TRUE(same(r->shared_secret, unhex(t["k"].get<std::string>())));
        // The same key pair decapsulates its own ciphertext.
        const auto k = decapsulate(dk_of(unhex(t["dk"].get<std::string>())), r->ciphertext);
        ASSERT_TRUE(k.has_value());
        EXPECT_TRUE(same(*k, r->shared_secret));
      } else if (fn == "decapsulation") {
        const auto r = decapsulate(dk_of(unhex(t["dk"].get<std::string>())), unhex(t["c"].get<std::string>()));
        ASSERT_TRUE(r.has_value());
        EXPECT_TRUE(same(*r, unhex(t["k"].get<std::string>())));
      } else if (fn == "decapsulationKeyCheck") {
        EXPECT_EQ(check_decapsulation_key(dk_of(unhex(t["dk"].get<std::string>()))), t["testPassed"].get<bool>());
      } else if (fn == "encapsulationKeyCheck") {
        const Bytes ek = unhex(t["ek"].get<std::string>());
        EXPECT_EQ(check_encapsulation_key(ek), t["testPassed"].get<bool>());
        const std::array<uint8_t, 32> m{};
        EXPECT_EQ(encapsulate_derand(ek, m).has_value(), t["testPassed"].get<bool>());
      } else {
        ADD_FAILURE() << "unknown function " << fn;
      }
    }
  }
  EXPECT_EQ(counts["encapsulation"], 25);
  EXPECT_EQ(counts["decapsulation"], 10);
  EXPECT_EQ(counts["decapsulationKeyCheck"], 10);
  EXPECT_EQ(counts["encapsulationKeyCheck"], 10);
}

// ---------------------------------------------------------------------------
// C2SP CCTV.

TEST(MlKem768Cctv, ModulusKeysAreAllRefused) {
  PELLUCOR_READ_VECTORS(file, "cctv/main/ML-KEM/modulus/ML-KEM-768.txt.gz");
  // Decompressed through gzip(1) so the test needs no compression library.
  std::string cmd = "gzip -dc '";
  for (char c : file.path.string()) cmd += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  cmd += "'";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string text;
  char buf[65536];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof(buf), p)) > 0) text.append(buf, got);
  ASSERT_EQ(pclose(p), 0) << "gzip -dc failed";

  std::istringstream in(text);
  std::string line;
  int n = 0;
  const std::array<uint8_t, 32> m{};
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    ++n;
    const Bytes ek = unhex(line);
    ASSERT_EQ(ek.size(), kPublicKeyBytes);
    EXPECT_FALSE(check_encapsulation_key(ek)) << "line " << n;
    const auto r = encapsulate_derand(ek, m);
    ASSERT_FALSE(r.has_value()) << "line " << n;
    EXPECT_EQ(r.error().code, "PL-0027");
  }
  EXPECT_EQ(n, 780);
}

TEST(MlKem768Cctv, Strcmp) {
  PELLUCOR_READ_VECTORS(file, "cctv/main/ML-KEM/strcmp/ML-KEM-768.txt");
  auto kv = load_kv(file.bytes);
  const auto r = decapsulate(dk_of(kv.at("dk")), kv.at("c"));
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(same(*r, kv.at("K")));
}

// The final standard's key generation (PR 13), with encapsulation and
// decapsulation of the same record.
TEST(MlKem768Cctv, UnluckySampleFinal) {
  PELLUCOR_READ_VECTORS(file, "cctv/pr13/ML-KEM/unluckysample/ML-KEM-768.txt");
  auto kv = load_kv(file.bytes);
  Bytes seed = kv.at("d");
  seed.insert(seed.end(), kv.at("z").begin(), kv.at("z").end());
  const Keys k = keygen(seed);
  EXPECT_TRUE(same(k.ek, kv.at("ek")));
  EXPECT_TRUE(same(k.dk, kv.at("dk")));
  const auto r = encapsulate_derand(kv.at("ek"), msg(kv.at("m")));
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(same(r->ciphertext, kv.at("c")));
  EXPECT_TRUE(same(r->shared_secret, kv.at("K")));
  const auto d = decapsulate(dk_of(kv.at("dk")), kv.at("c"));
  ASSERT_TRUE(d.has_value());
  EXPECT_TRUE(same(*d, kv.at("K")));
}

// The main-branch files derive their keys by the draft's key generation
// (G(d) without k): their encapsulation and decapsulation values hold, and
// our key generation must NOT reproduce their keys.
TEST(MlKem768Cctv, DraftKeyFilesEncapsDecapsOnly) {
  for (const char* rel : {"cctv/main/ML-KEM/unluckysample/ML-KEM-768.txt",
                          "cctv/main/ML-KEM/intermediate/ML-KEM-768.txt"}) {
    PELLUCOR_READ_VECTORS(file, rel);
    SCOPED_TRACE(rel);
    auto kv = load_kv(file.bytes);
    const auto r = encapsulate_derand(kv.at("ek"), msg(kv.at("m")));
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(same(r->ciphertext, kv.at("c")));
    EXPECT_TRUE(same(r->shared_secret, kv.at("K")));
    const auto d = decapsulate(dk_of(kv.at("dk")), kv.at("c"));
    ASSERT_TRUE(d.has_value());
    EXPECT_TRUE(same(*d, kv.at("K")));

    Bytes seed = kv.at("d");
    seed.insert(seed.end(), kv.at("z").begin(), kv.at("z").end());
    EXPECT_FALSE(same(keygen(seed).ek, kv.at("ek")));
  }
}

// ---------------------------------------------------------------------------
// The accumulated test: keys, ciphertexts and secrets of N consecutive runs
// driven by one SHAKE-128 stream, all hashed into a second SHAKE-128.

// A plain Keccak-f[1600] sponge for the driving stream: OpenSSL 3.0 cannot
// squeeze a SHAKE incrementally, and a million runs read over a gigabyte.
class Shake128Stream {
 public:
  Shake128Stream() {
    // Empty input: the first block is only padding.
    state_[0] ^= 0x1f;
    state_[kRate / 8 - 1] ^= uint64_t{0x80} << 56;
    pos_ = kRate;
  }
  void read(uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (pos_ == kRate) {
        permute();
        pos_ = 0;
      }
      const std::size_t take = std::min(n, kRate - pos_);
      for (std::size_t i = 0; i < take; ++i, ++pos_) {
        *out++ = static_cast<uint8_t>(state_[pos_ / 8] >> (8 * (pos_ % 8)));
      }
      n -= take;
    }
  }

 private:
  static constexpr std::size_t kRate = 168;
  static uint64_t rotl(uint64_t x, int r) { return r == 0 ? x : (x << r) | (x >> (64 - r)); }
  static bool rc_bit(int t) {
    unsigned r = 1;
    for (int i = 0; i < t % 255; ++i) {
      r <<= 1;
      if (r & 0x100) r ^= 0x171;
    }
    return r & 1;
  }
  void permute() {
    static const auto tables = [] {
      struct T {
        uint64_t rc[24];
        int rot[25];
      } t{};
      for (int ir = 0; ir < 24; ++ir) {
        for (int j = 0; j < 7; ++j) {
          if (rc_bit(j + 7 * ir)) t.rc[ir] |= uint64_t{1} << ((1 << j) - 1);
        }
      }
      int x = 1, y = 0;
      for (int s = 0; s < 24; ++s) {
        t.rot[x + 5 * y] = ((s + 1) * (s + 2) / 2) % 64;
        const int nx = y, ny = (2 * x + 3 * y) % 5;
        x = nx;
        y = ny;
      }
      return t;
    }();
    uint64_t* a = state_;
    for (int round = 0; round < 24; ++round) {
      uint64_t c[5], b[25];
      for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
      for (int x = 0; x < 5; ++x) {
        const uint64_t d = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
        for (int y = 0; y < 5; ++y) a[x + 5 * y] ^= d;
      }
      for (int x = 0; x < 5; ++x) {
        for (int y = 0; y < 5; ++y) b[y + 5 * ((2 * x + 3 * y) % 5)] = rotl(a[x + 5 * y], tables.rot[x + 5 * y]);
      }
      for (int x = 0; x < 5; ++x) {
        for (int y = 0; y < 5; ++y) {
          a[x + 5 * y] = b[x + 5 * y] ^ (~b[(x + 1) % 5 + 5 * y] & b[(x + 2) % 5 + 5 * y]);
        }
      }
      a[0] ^= tables.rc[round];
    }
  }

  uint64_t state_[25] = {};
  std::size_t pos_;
};

Bytes openssl_shake128(std::size_t n) {
  Bytes out(n);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EXPECT_EQ(EVP_DigestInit_ex2(ctx, EVP_shake128(), nullptr), 1);
  EXPECT_EQ(EVP_DigestFinalXOF(ctx, out.data(), n), 1);
  EVP_MD_CTX_free(ctx);
  return out;
}

TEST(MlKem768Accumulated, DrivingStreamMatchesOpenSsl) {
  Shake128Stream s;
  Bytes mine(20000);
  // Uneven reads cross block boundaries at every offset.
  for (std::size_t at = 0, step = 1; at < mine.size(); at += step, step = step % 331 + 7) {
    s.read(mine.data() + at, std::min(step, mine.size() - at));
  }
  EXPECT_EQ(hex(std::span(mine).first(16)), "7f9c2ba4e88f827d616045507605853e");
  EXPECT_TRUE(same(mine, openssl_shake128(mine.size())));
}

std::string accumulated_digest(int iterations) {
  Shake128Stream rng;
  EVP_MD_CTX* acc = EVP_MD_CTX_new();
  EXPECT_EQ(EVP_DigestInit_ex2(acc, EVP_shake128(), nullptr), 1);
  Keys k;
  std::array<uint8_t, kSeedBytes> seed;
  std::array<uint8_t, 32> m;
  std::array<uint8_t, kCiphertextBytes> ct;
  for (int i = 0; i < iterations; ++i) {
    rng.read(seed.data(), seed.size());  // d then z
    rng.read(m.data(), m.size());
    rng.read(ct.data(), ct.size());
    keygen_derand(seed, k.ek, k.dk);
    auto enc = encapsulate_derand(k.ek, m);
    if (!enc) {
      ADD_FAILURE() << "encapsulation refused at " << i;
      break;
    }
    auto back = decapsulate(k.dk, enc->ciphertext);
    auto rejected = decapsulate(k.dk, ct);
    if (!back || !rejected || !same(*back, enc->shared_secret)) {
      ADD_FAILURE() << "decapsulation failed at " << i;
      break;
    }
    EVP_DigestUpdate(acc, k.ek.data(), k.ek.size());
    EVP_DigestUpdate(acc, k.dk.data(), k.dk.size());
    EVP_DigestUpdate(acc, enc->ciphertext.data(), enc->ciphertext.size());
    EVP_DigestUpdate(acc, enc->shared_secret.data(), enc->shared_secret.size());
    EVP_DigestUpdate(acc, rejected->data(), rejected->size());
  }
  std::array<uint8_t, 32> out{};
  EXPECT_EQ(EVP_DigestFinalXOF(acc, out.data(), out.size()), 1);
  EVP_MD_CTX_free(acc);
  return hex(out);
}

TEST(MlKem768Accumulated, HundredRuns) {
  EXPECT_EQ(accumulated_digest(100), "8d65b902f28edc683cebee2872962fd165a4d197c9e24ec74caa4470270df0b7");
}

TEST(MlKem768Accumulated, TenThousandRuns) {
  const std::string d = accumulated_digest(10000);
  EXPECT_EQ(d, "f959d18d3d1180121433bf0e05f11e7908cf9d03edc150b2b07cb90bef5bc1c1");
  // The draft standard's value must not come out.
  EXPECT_NE(d, "f7db260e1137a742e05fe0db9525012812b004d29040a5b606aad3d134b548d3");
}

TEST(MlKem768Accumulated, MillionRuns) {
  const char* slow = std::getenv("PELLUCOR_SLOW_TESTS");
  if (slow == nullptr || std::string_view(slow) != "1") {
    GTEST_SKIP() << "a million runs take minutes; set PELLUCOR_SLOW_TESTS=1 to run them";
  }
  EXPECT_EQ(accumulated_digest(1000000), "3b108396a277f2952ff3243a985c9709bcb95788c39b7b36a2c4e19d1a41e51e");
}

}  // namespace
}  // namespace pellucor::mlkem768
