#include "crypto/mlkem768.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace pellucor::mlkem768 {
namespace {

// ---------------------------------------------------------------------------
// Parameters of ML-KEM-768.

constexpr int kN = 256;
constexpr int16_t kQ = 3329;
constexpr int kK = 3;
constexpr int kDu = 10;
constexpr int kDv = 4;

constexpr std::size_t kPolyBytes = 384;                 // 256 coefficients x 12 bits
constexpr std::size_t kPolyVecBytes = kK * kPolyBytes;  // 1152
constexpr std::size_t kPolyCompressedU = kN * kDu / 8;  // 320
constexpr std::size_t kPolyCompressedV = kN * kDv / 8;  // 128
constexpr std::size_t kPrfBytes = 64 * 2;               // eta1 = eta2 = 2

static_assert(kPolyVecBytes + 32 == kPublicKeyBytes);
static_assert(2 * kPolyVecBytes + 96 == kSecretKeyBytes);
static_assert(kK * kPolyCompressedU + kPolyCompressedV == kCiphertextBytes);

// Offsets inside the decapsulation key dk_pke || ek || H(ek) || z.
constexpr std::size_t kDkEkOffset = kPolyVecBytes;
constexpr std::size_t kDkHashOffset = kDkEkOffset + kPublicKeyBytes;
constexpr std::size_t kDkZOffset = kDkHashOffset + 32;

// ---------------------------------------------------------------------------
// Arithmetic modulo q. Coefficients are int16_t; products are reduced with
// Montgomery reduction (R = 2^16), sums with Barrett reduction. Neither
// branches on its input.

constexpr int16_t kQInv = -3327;  // q^-1 mod 2^16, as a signed value
constexpr int16_t kMontR2 = 1353;       // R^2 mod q
constexpr int16_t kInvNttScale = 1441;  // R^2 / 128 mod q

// montgomery_reduce returns a R^-1 mod q in (-q, q) for |a| < q 2^15.
constexpr int16_t montgomery_reduce(int32_t a) {
  const int16_t t = static_cast<int16_t>(static_cast<int16_t>(a) * kQInv);
  return static_cast<int16_t>((a - static_cast<int32_t>(t) * kQ) >> 16);
}

// High half of the signed 16 x 16-bit product (one SSE2 instruction once
// the loops are vectorised).
constexpr int16_t mulhi(int16_t a, int16_t b) {
  return static_cast<int16_t>((static_cast<int32_t>(a) * b) >> 16);
}

// fqmul returns a b R^-1 mod q in (-q, q) for |a b| < q 2^15: Montgomery
// reduction written on 16-bit halves. a b - t q is a multiple of 2^16, so
// its high half is the difference of the two high halves.
constexpr int16_t fqmul(int16_t a, int16_t b) {
  const int16_t t = static_cast<int16_t>(static_cast<int16_t>(a * b) * kQInv);
  return static_cast<int16_t>(mulhi(a, b) - mulhi(t, kQ));
}

// barrett_reduce returns a value congruent to a mod q in (-q, q), close to
// the centre: a - round(a / q) q, with the quotient taken as
// floor((a v + 2^25) / 2^26) through the high half of a v.
constexpr int16_t kBarrettV = ((1 << 26) + kQ / 2) / kQ;
constexpr int16_t barrett_reduce(int16_t a) {
  const int16_t t = static_cast<int16_t>((mulhi(a, kBarrettV) + (1 << 9)) >> 10);
  return static_cast<int16_t>(a - t * kQ);
}

constexpr bool reductions_agree() {
  for (int32_t a = -32768; a < 32768; a += 7) {
    for (int16_t b : {int16_t{-1664}, int16_t{-17}, int16_t{1}, int16_t{1353}, int16_t{1664}}) {
      if (fqmul(static_cast<int16_t>(a), b) != montgomery_reduce(a * b)) return false;
    }
    const int16_t r = barrett_reduce(static_cast<int16_t>(a));
    if ((r - a) % kQ != 0 || r <= -kQ || r >= kQ) return false;
  }
  return true;
}
static_assert(reductions_agree());

// to_unsigned maps a value in (-q, q) to [0, q) without branching.
constexpr int16_t to_unsigned(int16_t a) {
  return static_cast<int16_t>(a + ((a >> 15) & kQ));
}

// canonical returns the representative in [0, q) of any int16_t.
constexpr uint16_t canonical(int16_t a) {
  return static_cast<uint16_t>(to_unsigned(barrett_reduce(a)));
}

constexpr int32_t pow_mod(int32_t base, int e) {
  int32_t r = 1;
  for (int i = 0; i < e; ++i) r = r * base % kQ;
  return r;
}

constexpr int bitrev7(int i) {
  int r = 0;
  for (int b = 0; b < 7; ++b) r |= ((i >> b) & 1) << (6 - b);
  return r;
}

// Montgomery form (x R mod q), centred in (-q/2, q/2].
constexpr int16_t mont_centred(int32_t x) {
  int32_t m = (x * 65536) % kQ;
  if (m > kQ / 2) m -= kQ;
  return static_cast<int16_t>(m);
}

// kZetas[i] = 17^BitRev7(i) in Montgomery form: the twiddle factors of the NTT.
constexpr std::array<int16_t, 128> make_zetas() {
  std::array<int16_t, 128> z{};
  for (int i = 0; i < 128; ++i) z[i] = mont_centred(pow_mod(17, bitrev7(i)));
  return z;
}
// kGammas[i] = 17^(2 BitRev7(i) + 1) in Montgomery form: the moduli of the
// 128 degree-two factors in which base multiplication works.
constexpr std::array<int16_t, 128> make_gammas() {
  std::array<int16_t, 128> g{};
  for (int i = 0; i < 128; ++i) g[i] = mont_centred(pow_mod(17, 2 * bitrev7(i) + 1));
  return g;
}
constexpr std::array<int16_t, 128> kZetas = make_zetas();
constexpr std::array<int16_t, 128> kGammas = make_gammas();

static_assert(pow_mod(17, 128) == kQ - 1, "17 is a primitive 256th root of unity mod q");
static_assert(static_cast<int16_t>(kQ * kQInv) == 1);
static_assert(65536 % kQ * (65536 % kQ) % kQ == kMontR2);
static_assert(kMontR2 * 3303 % kQ == kInvNttScale && 128 * 3303 % kQ == 1);

// compress_d(x) = round(2^d x / q) mod 2^d for x in [0, q), by a multiply
// and shift in place of a division (whose timing can depend on the value).
// The numerator is below 2^22 and the multiplier below 2^32, so the product
// is one 32 x 32 -> 64-bit multiplication.
constexpr uint32_t kDivMagic = static_cast<uint32_t>(((uint64_t{1} << 43) + kQ - 1) / kQ);
template <int D>
constexpr uint32_t compress(uint16_t x) {
  const uint32_t y = (static_cast<uint32_t>(x) << D) + kQ / 2;
  return static_cast<uint32_t>((static_cast<uint64_t>(y) * kDivMagic) >> 43) & ((1u << D) - 1);
}
template <int D>
constexpr uint16_t decompress(uint32_t y) {
  return static_cast<uint16_t>((y * kQ + (1u << (D - 1))) >> D);
}

template <int D>
constexpr bool compress_is_exact() {
  for (uint32_t x = 0; x < static_cast<uint32_t>(kQ); ++x) {
    const uint32_t want = static_cast<uint32_t>(((x << D) + kQ / 2) / kQ) & ((1u << D) - 1);
    if (compress<D>(static_cast<uint16_t>(x)) != want) return false;
  }
  return true;
}
static_assert(compress_is_exact<1>() && compress_is_exact<4>() && compress_is_exact<10>());

// ---------------------------------------------------------------------------
// Polynomials.

struct Poly {
  int16_t c[kN];
};
using PolyVec = std::array<Poly, kK>;
using Matrix = std::array<PolyVec, kK>;

// Wipes any trivially copyable intermediate that held secret material.
template <typename T>
void wipe(T& v) {
  OPENSSL_cleanse(&v, sizeof(v));
}

// One layer of the forward transform: blocks of 2 Len coefficients, each
// with its own twiddle factor. Len is a constant so the inner loop
// vectorises.
template <int Len>
inline void ntt_layer(int16_t* __restrict p, const int16_t* zetas) {
  for (int start = 0; start < kN; start += 2 * Len) {
    const int16_t zeta = *zetas++;
    int16_t* lo = p + start;
    int16_t* hi = p + start + Len;
    for (int j = 0; j < Len; ++j) {
      const int16_t t = fqmul(zeta, hi[j]);
      hi[j] = static_cast<int16_t>(lo[j] - t);
      lo[j] = static_cast<int16_t>(lo[j] + t);
    }
  }
}

// ntt: coefficients of magnitude at most q in, NTT domain out (|x| < q).
// Each layer adds less than q to the magnitude: below 8q after seven.
void ntt(Poly& p) {
  ntt_layer<128>(p.c, &kZetas[1]);
  ntt_layer<64>(p.c, &kZetas[2]);
  ntt_layer<32>(p.c, &kZetas[4]);
  ntt_layer<16>(p.c, &kZetas[8]);
  ntt_layer<8>(p.c, &kZetas[16]);
  ntt_layer<4>(p.c, &kZetas[32]);
  ntt_layer<2>(p.c, &kZetas[64]);
  for (int16_t& x : p.c) x = barrett_reduce(x);
}

// kZetasInv[i] = kZetas[127 - i]: the inverse walks the twiddles backwards.
constexpr std::array<int16_t, 128> make_zetas_reversed() {
  std::array<int16_t, 128> z{};
  for (int i = 0; i < 128; ++i) z[i] = kZetas[127 - i];
  return z;
}
constexpr std::array<int16_t, 128> kZetasReversed = make_zetas_reversed();

template <int Len>
inline void inv_ntt_layer(int16_t* __restrict p, const int16_t* zetas) {
  for (int start = 0; start < kN; start += 2 * Len) {
    const int16_t zeta = *zetas++;
    int16_t* lo = p + start;
    int16_t* hi = p + start + Len;
    for (int j = 0; j < Len; ++j) {
      const int16_t t = lo[j];
      lo[j] = barrett_reduce(static_cast<int16_t>(t + hi[j]));
      hi[j] = fqmul(zeta, static_cast<int16_t>(hi[j] - t));
    }
  }
}

// inv_ntt: takes the output of the base multiplication (carrying a factor
// R^-1, |x| < q) and returns the plain coefficients, |x| < q.
void inv_ntt(Poly& p) {
  inv_ntt_layer<2>(p.c, &kZetasReversed[0]);
  inv_ntt_layer<4>(p.c, &kZetasReversed[64]);
  inv_ntt_layer<8>(p.c, &kZetasReversed[96]);
  inv_ntt_layer<16>(p.c, &kZetasReversed[112]);
  inv_ntt_layer<32>(p.c, &kZetasReversed[120]);
  inv_ntt_layer<64>(p.c, &kZetasReversed[124]);
  inv_ntt_layer<128>(p.c, &kZetasReversed[126]);
  for (int16_t& x : p.c) x = fqmul(x, kInvNttScale);
}

// The right-hand operand of base multiplication, rearranged so that both
// output coefficients of a degree-two factor are dot products of the pair
// (a0, a1) with a pair of `even` and `odd` (multiply-add friendly):
//   c0 = a0 b0 + a1 (b1 gamma) = (a0, a1) . even,  even = (b0, b1 gamma)
//   c1 = a0 b1 + a1 b0         = (a0, a1) . odd,   odd  = (b1, b0)
struct MulCache {
  int16_t even[kN];
  int16_t odd[kN];
};
using MulCacheVec = std::array<MulCache, kK>;

void mul_cache(const Poly& b, MulCache& out) {
  for (int i = 0; i < kN / 2; ++i) {
    out.even[2 * i] = b.c[2 * i];
    out.even[2 * i + 1] = fqmul(b.c[2 * i + 1], kGammas[i]);
    out.odd[2 * i] = b.c[2 * i + 1];
    out.odd[2 * i + 1] = b.c[2 * i];
  }
}

// r = sum_j a[j] o b[j] in the NTT domain, times R^-1, with b given by its
// cache. All inputs |x| < q: six products of at most q^2 stay below q 2^15.
void basemul_acc(Poly& r, const PolyVec& a, const MulCacheVec& b) {
  int32_t c0[kN / 2];
  int32_t c1[kN / 2];
  for (int i = 0; i < kN / 2; ++i) {
    c0[i] = a[0].c[2 * i] * b[0].even[2 * i] + a[0].c[2 * i + 1] * b[0].even[2 * i + 1];
    c1[i] = a[0].c[2 * i] * b[0].odd[2 * i] + a[0].c[2 * i + 1] * b[0].odd[2 * i + 1];
  }
  for (int j = 1; j < kK; ++j) {
    for (int i = 0; i < kN / 2; ++i) {
      c0[i] += a[j].c[2 * i] * b[j].even[2 * i] + a[j].c[2 * i + 1] * b[j].even[2 * i + 1];
      c1[i] += a[j].c[2 * i] * b[j].odd[2 * i] + a[j].c[2 * i + 1] * b[j].odd[2 * i + 1];
    }
  }
  for (int i = 0; i < kN / 2; ++i) {
    r.c[2 * i] = montgomery_reduce(c0[i]);
    r.c[2 * i + 1] = montgomery_reduce(c1[i]);
  }
}

// ---------------------------------------------------------------------------
// Encodings.

void encode12(const Poly& p, uint8_t* out) {
  for (int i = 0; i < kN / 2; ++i) {
    const uint16_t a0 = canonical(p.c[2 * i]);
    const uint16_t a1 = canonical(p.c[2 * i + 1]);
    out[3 * i] = static_cast<uint8_t>(a0);
    out[3 * i + 1] = static_cast<uint8_t>((a0 >> 8) | (a1 << 4));
    out[3 * i + 2] = static_cast<uint8_t>(a1 >> 4);
  }
}

// decode12 reduces each 12-bit value mod q, as ByteDecode_12 does.
void decode12(const uint8_t* in, Poly& p) {
  for (int i = 0; i < kN / 2; ++i) {
    const uint16_t b0 = in[3 * i];
    const uint16_t b1 = in[3 * i + 1];
    const uint16_t b2 = in[3 * i + 2];
    p.c[2 * i] = barrett_reduce(static_cast<int16_t>(b0 | ((b1 & 0x0f) << 8)));
    p.c[2 * i + 1] = barrett_reduce(static_cast<int16_t>((b1 >> 4) | (b2 << 4)));
  }
}

void compress_u(const Poly& p, uint8_t* out) {
  uint16_t c[kN];
  for (int n = 0; n < kN; ++n) c[n] = static_cast<uint16_t>(compress<kDu>(canonical(p.c[n])));
  for (int i = 0; i < kN / 4; ++i) {
    const uint16_t* t = c + 4 * i;
    out[5 * i] = static_cast<uint8_t>(t[0]);
    out[5 * i + 1] = static_cast<uint8_t>((t[0] >> 8) | (t[1] << 2));
    out[5 * i + 2] = static_cast<uint8_t>((t[1] >> 6) | (t[2] << 4));
    out[5 * i + 3] = static_cast<uint8_t>((t[2] >> 4) | (t[3] << 6));
    out[5 * i + 4] = static_cast<uint8_t>(t[3] >> 2);
  }
}

void decompress_u(const uint8_t* in, Poly& p) {
  for (int i = 0; i < kN / 4; ++i) {
    const uint32_t b0 = in[5 * i], b1 = in[5 * i + 1], b2 = in[5 * i + 2], b3 = in[5 * i + 3],
                   b4 = in[5 * i + 4];
    const uint32_t t[4] = {
        (b0 | (b1 << 8)) & 0x3ff,
        ((b1 >> 2) | (b2 << 6)) & 0x3ff,
        ((b2 >> 4) | (b3 << 4)) & 0x3ff,
        ((b3 >> 6) | (b4 << 2)) & 0x3ff,
    };
    for (int j = 0; j < 4; ++j) p.c[4 * i + j] = static_cast<int16_t>(decompress<kDu>(t[j]));
  }
}

void compress_v(const Poly& p, uint8_t* out) {
  uint8_t c[kN];
  for (int n = 0; n < kN; ++n) c[n] = static_cast<uint8_t>(compress<kDv>(canonical(p.c[n])));
  for (int i = 0; i < kN / 2; ++i) out[i] = static_cast<uint8_t>(c[2 * i] | (c[2 * i + 1] << 4));
}

void decompress_v(const uint8_t* in, Poly& p) {
  for (int i = 0; i < kN / 2; ++i) {
    p.c[2 * i] = static_cast<int16_t>(decompress<kDv>(in[i] & 0x0f));
    p.c[2 * i + 1] = static_cast<int16_t>(decompress<kDv>(in[i] >> 4));
  }
}

// Message bits to coefficients 0 or (q+1)/2, through a mask.
void message_to_poly(const uint8_t* m, Poly& p) {
  for (int i = 0; i < kN / 8; ++i) {
    for (int j = 0; j < 8; ++j) {
      const int16_t bit = static_cast<int16_t>((m[i] >> j) & 1);
      p.c[8 * i + j] = static_cast<int16_t>(-bit & ((kQ + 1) / 2));
    }
  }
}

void poly_to_message(const Poly& p, uint8_t* m) {
  uint8_t bits[kN];
  for (int n = 0; n < kN; ++n) bits[n] = static_cast<uint8_t>(compress<1>(canonical(p.c[n])));
  for (int i = 0; i < kN / 8; ++i) {
    uint32_t byte = 0;
    for (int j = 0; j < 8; ++j) byte |= static_cast<uint32_t>(bits[8 * i + j]) << j;
    m[i] = static_cast<uint8_t>(byte);
  }
  wipe(bits);
}

// ---------------------------------------------------------------------------
// Hashing through OpenSSL. The four digests are fetched once per process;
// one context serves every hash of one operation, and freeing it at the end
// clears the provider's state (which held secret input).

struct Digests {
  EVP_MD* sha3_256 = nullptr;
  EVP_MD* sha3_512 = nullptr;
  EVP_MD* shake128 = nullptr;
  EVP_MD* shake256 = nullptr;
  bool ok() const { return sha3_256 && sha3_512 && shake128 && shake256; }
};

const Digests& digests() {
  static const Digests d = [] {
    Digests r;
    r.sha3_256 = EVP_MD_fetch(nullptr, "SHA3-256", nullptr);
    r.sha3_512 = EVP_MD_fetch(nullptr, "SHA3-512", nullptr);
    r.shake128 = EVP_MD_fetch(nullptr, "SHAKE128", nullptr);
    r.shake256 = EVP_MD_fetch(nullptr, "SHAKE256", nullptr);
    return r;
  }();
  return d;
}

// A failure of any step is remembered and reported once by ok(); outputs of
// a failed step are zero.
class Hasher {
 public:
  Hasher() : md_(digests()), ctx_(EVP_MD_CTX_new()), ok_(md_.ok() && ctx_ != nullptr) {}
  ~Hasher() { EVP_MD_CTX_free(ctx_); }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  bool ok() const { return ok_; }

  // H: SHA3-256.
  void h(std::span<const uint8_t> in, uint8_t out[32]) { fixed(md_.sha3_256, in, {}, out, 32); }
  // G: SHA3-512 of a || b.
  void g(std::span<const uint8_t> a, std::span<const uint8_t> b, uint8_t out[64]) {
    fixed(md_.sha3_512, a, b, out, 64);
  }
  // J: SHAKE-256 of a || b, 32 bytes.
  void j(std::span<const uint8_t> a, std::span<const uint8_t> b, uint8_t out[32]) {
    xof(md_.shake256, a, b, out, 32);
  }
  // PRF_2: SHAKE-256 of s || n, 128 bytes.
  void prf(const uint8_t s[32], uint8_t n, uint8_t out[kPrfBytes]) {
    xof(md_.shake256, {s, 32}, {&n, 1}, out, kPrfBytes);
  }
  // XOF: SHAKE-128 of the 34-byte seed, the first `len` bytes.
  void shake128(const uint8_t seed[34], uint8_t* out, std::size_t len) {
    xof(md_.shake128, {seed, 34}, {}, out, len);
  }

 private:
  bool absorb(const EVP_MD* md, std::span<const uint8_t> a, std::span<const uint8_t> b) {
    if (!ok_) return false;
    ok_ = EVP_DigestInit_ex2(ctx_, md, nullptr) == 1 &&
          (a.empty() || EVP_DigestUpdate(ctx_, a.data(), a.size()) == 1) &&
          (b.empty() || EVP_DigestUpdate(ctx_, b.data(), b.size()) == 1);
    return ok_;
  }
  void fixed(const EVP_MD* md, std::span<const uint8_t> a, std::span<const uint8_t> b,
             uint8_t* out, std::size_t len) {
    unsigned int got = 0;
    if (absorb(md, a, b)) ok_ = EVP_DigestFinal_ex(ctx_, out, &got) == 1 && got == len;
    if (!ok_) std::memset(out, 0, len);
  }
  void xof(const EVP_MD* md, std::span<const uint8_t> a, std::span<const uint8_t> b,
           uint8_t* out, std::size_t len) {
    if (absorb(md, a, b)) ok_ = EVP_DigestFinalXOF(ctx_, out, len) == 1;
    if (!ok_) std::memset(out, 0, len);
  }

  const Digests& md_;
  EVP_MD_CTX* ctx_;
  bool ok_;
};

// ---------------------------------------------------------------------------
// Sampling.

constexpr std::size_t kShake128Rate = 168;
// Three blocks give 336 candidates for 256 coefficients, enough in about
// 99% of cases; otherwise the same stream is drawn again, longer, and read
// on from where the first draw ran out (the output is a prefix-stable
// stream, so the result is exactly that of one long read).
constexpr std::size_t kSampleFirstDraw = 3 * kShake128Rate;

// Uniform rejection sampling of an NTT-domain polynomial from public data
// (branching on the candidates leaks nothing secret).
int parse_uniform(Poly& p, int filled, const uint8_t* buf, std::size_t from, std::size_t to,
                  std::size_t& pos) {
  pos = from;
  while (filled < kN && pos + 3 <= to) {
    const uint16_t d1 = static_cast<uint16_t>(buf[pos] | ((buf[pos + 1] & 0x0f) << 8));
    const uint16_t d2 = static_cast<uint16_t>((buf[pos + 1] >> 4) | (buf[pos + 2] << 4));
    pos += 3;
    if (d1 < kQ) p.c[filled++] = static_cast<int16_t>(d1);
    if (d2 < kQ && filled < kN) p.c[filled++] = static_cast<int16_t>(d2);
  }
  return filled;
}

void sample_ntt(Hasher& hs, const uint8_t seed[34], Poly& p) {
  uint8_t buf[kSampleFirstDraw];
  hs.shake128(seed, buf, sizeof(buf));
  std::size_t pos = 0;
  int filled = parse_uniform(p, 0, buf, 0, sizeof(buf), pos);
  std::size_t len = sizeof(buf);
  while (filled < kN && hs.ok()) {
    len *= 2;
    std::vector<uint8_t> more(len);
    hs.shake128(seed, more.data(), len);
    filled = parse_uniform(p, filled, more.data(), pos, len, pos);
  }
  if (filled < kN) std::memset(p.c, 0, sizeof(p.c));  // hashing failed; reported by ok()
}

// A[i][j] = SampleNTT(rho || j || i); with `transposed` the transpose.
void gen_matrix(Hasher& hs, Matrix& a, const uint8_t rho[32], bool transposed) {
  uint8_t seed[34];
  std::memcpy(seed, rho, 32);
  for (int i = 0; i < kK; ++i) {
    for (int j = 0; j < kK; ++j) {
      seed[32] = static_cast<uint8_t>(transposed ? i : j);
      seed[33] = static_cast<uint8_t>(transposed ? j : i);
      sample_ntt(hs, seed, a[i][j]);
    }
  }
}

// SamplePolyCBD_2: each coefficient is (b0 + b1) - (b2 + b3) of four
// consecutive bits, so one byte gives two coefficients.
void cbd2(const uint8_t buf[kPrfBytes], Poly& p) {
  for (std::size_t i = 0; i < kPrfBytes; ++i) {
    const uint32_t b = buf[i];
    const uint32_t d = (b & 0x55) + ((b >> 1) & 0x55);  // four 2-bit sums of bit pairs
    p.c[2 * i] = static_cast<int16_t>(static_cast<int32_t>(d & 3) - static_cast<int32_t>((d >> 2) & 3));
    p.c[2 * i + 1] =
        static_cast<int16_t>(static_cast<int32_t>((d >> 4) & 3) - static_cast<int32_t>((d >> 6) & 3));
  }
}

void sample_noise(Hasher& hs, const uint8_t seed[32], uint8_t n, Poly& p) {
  uint8_t buf[kPrfBytes];
  hs.prf(seed, n, buf);
  cbd2(buf, p);
  wipe(buf);
}

// ---------------------------------------------------------------------------
// K-PKE.

// K-PKE.KeyGen of `d` (FIPS 203 final: G(d || k)); writes ek and dk_pke.
void pke_keygen(Hasher& hs, const uint8_t d[32], uint8_t* ek, uint8_t* dk_pke) {
  uint8_t seed_in[33];
  std::memcpy(seed_in, d, 32);
  seed_in[32] = kK;
  uint8_t rho_sigma[64];
  hs.g(seed_in, {}, rho_sigma);
  const uint8_t* rho = rho_sigma;
  const uint8_t* sigma = rho_sigma + 32;

  Matrix a;
  gen_matrix(hs, a, rho, false);

  PolyVec s, e;
  MulCacheVec s_cache;
  for (int i = 0; i < kK; ++i) sample_noise(hs, sigma, static_cast<uint8_t>(i), s[i]);
  for (int i = 0; i < kK; ++i) sample_noise(hs, sigma, static_cast<uint8_t>(kK + i), e[i]);
  for (int i = 0; i < kK; ++i) {
    ntt(s[i]);
    ntt(e[i]);
    mul_cache(s[i], s_cache[i]);
  }

  for (int i = 0; i < kK; ++i) {
    Poly t;
    basemul_acc(t, a[i], s_cache);
    for (int n = 0; n < kN; ++n) {
      // fqmul by R^2 cancels the R^-1 of the base multiplication.
      t.c[n] = static_cast<int16_t>(fqmul(t.c[n], kMontR2) + e[i].c[n]);
    }
    encode12(t, ek + i * kPolyBytes);
    encode12(s[i], dk_pke + i * kPolyBytes);
  }
  std::memcpy(ek + kPolyVecBytes, rho, 32);

  wipe(seed_in);
  wipe(rho_sigma);
  wipe(s);
  wipe(e);
  wipe(s_cache);
}

// K-PKE.Encrypt of the 32-byte message `m` with randomness `r` under `ek`.
// In decapsulation m and r are secret, so the whole path is branch-free in
// them; only the public matrix sampling rejects.
void pke_encrypt(Hasher& hs, const uint8_t* ek, const uint8_t m[32], const uint8_t r[32],
                 uint8_t* ct) {
  PolyVec t;
  for (int i = 0; i < kK; ++i) decode12(ek + i * kPolyBytes, t[i]);
  Matrix at;
  gen_matrix(hs, at, ek + kPolyVecBytes, true);

  PolyVec y, e1;
  Poly e2;
  MulCacheVec y_cache;
  for (int i = 0; i < kK; ++i) sample_noise(hs, r, static_cast<uint8_t>(i), y[i]);
  for (int i = 0; i < kK; ++i) sample_noise(hs, r, static_cast<uint8_t>(kK + i), e1[i]);
  sample_noise(hs, r, 2 * kK, e2);
  for (int i = 0; i < kK; ++i) {
    ntt(y[i]);
    mul_cache(y[i], y_cache[i]);
  }

  Poly u;
  for (int i = 0; i < kK; ++i) {
    basemul_acc(u, at[i], y_cache);
    inv_ntt(u);
    for (int n = 0; n < kN; ++n) u.c[n] = static_cast<int16_t>(u.c[n] + e1[i].c[n]);
    compress_u(u, ct + i * kPolyCompressedU);
  }

  Poly v, mu;
  basemul_acc(v, t, y_cache);
  inv_ntt(v);
  message_to_poly(m, mu);
  for (int n = 0; n < kN; ++n) v.c[n] = static_cast<int16_t>(v.c[n] + e2.c[n] + mu.c[n]);
  compress_v(v, ct + kK * kPolyCompressedU);

  wipe(y);
  wipe(e1);
  wipe(e2);
  wipe(y_cache);
  wipe(u);
  wipe(v);
  wipe(mu);
}

// K-PKE.Decrypt: the 32-byte message of `ct` under dk_pke.
void pke_decrypt(const uint8_t* dk_pke, const uint8_t* ct, uint8_t m[32]) {
  PolyVec u;
  MulCacheVec u_cache;
  for (int i = 0; i < kK; ++i) {
    decompress_u(ct + i * kPolyCompressedU, u[i]);
    ntt(u[i]);
    mul_cache(u[i], u_cache[i]);
  }
  Poly v;
  decompress_v(ct + kK * kPolyCompressedU, v);

  PolyVec s;
  for (int i = 0; i < kK; ++i) decode12(dk_pke + i * kPolyBytes, s[i]);

  Poly w;
  basemul_acc(w, s, u_cache);
  inv_ntt(w);
  for (int n = 0; n < kN; ++n) w.c[n] = static_cast<int16_t>(v.c[n] - w.c[n]);
  poly_to_message(w, m);

  wipe(s);
  wipe(w);
}

[[noreturn]] void hash_provider_missing() {
  std::fputs("pellucor: SHA-3 is not available from OpenSSL\n", stderr);
  std::abort();
}

bool keygen_internal(const uint8_t* d, const uint8_t* z, uint8_t* ek, uint8_t* dk) {
  Hasher hs;
  pke_keygen(hs, d, ek, dk);
  std::memcpy(dk + kDkEkOffset, ek, kPublicKeyBytes);
  hs.h({ek, kPublicKeyBytes}, dk + kDkHashOffset);
  std::memcpy(dk + kDkZOffset, z, 32);
  return hs.ok();
}

}  // namespace

void keygen_derand(std::span<const uint8_t, kSeedBytes> seed_d_z, std::span<uint8_t, kPublicKeyBytes> ek,
                   std::span<uint8_t, kSecretKeyBytes> dk) {
  if (!keygen_internal(seed_d_z.data(), seed_d_z.data() + 32, ek.data(), dk.data())) {
    OPENSSL_cleanse(dk.data(), dk.size());
    hash_provider_missing();
  }
}

std::expected<KeyPair, PellucorError> generate() {
  SecureArray<kSeedBytes> seed;
  if (RAND_bytes(seed.data(), static_cast<int>(seed.size())) != 1) {
    return std::unexpected(err::PL_0018);
  }
  KeyPair kp;
  if (!keygen_internal(seed.data(), seed.data() + 32, kp.ek.data(), kp.dk.data())) {
    return std::unexpected(err::PL_0018);
  }
  return kp;
}

bool check_encapsulation_key(std::span<const uint8_t> ek) {
  if (ek.size() != kPublicKeyBytes) return false;
  // The key is public: an early exit leaks nothing.
  for (std::size_t i = 0; i < kPolyVecBytes; i += 3) {
    const uint16_t a0 = static_cast<uint16_t>(ek[i] | ((ek[i + 1] & 0x0f) << 8));
    const uint16_t a1 = static_cast<uint16_t>((ek[i + 1] >> 4) | (ek[i + 2] << 4));
    if (a0 >= kQ || a1 >= kQ) return false;
  }
  return true;
}

std::expected<Encapsulated, PellucorError> encapsulate_derand(std::span<const uint8_t> ek,
                                                              std::span<const uint8_t, kMessageBytes> m) {
  if (!check_encapsulation_key(ek)) return std::unexpected(err::PL_0027);
  Hasher hs;
  uint8_t ek_hash[32];
  hs.h(ek, ek_hash);
  uint8_t k_r[64];  // K || r
  hs.g(m, ek_hash, k_r);
  Encapsulated out;
  pke_encrypt(hs, ek.data(), m.data(), k_r + 32, out.ciphertext.data());
  std::memcpy(out.shared_secret.data(), k_r, kSharedSecretBytes);
  wipe(k_r);
  if (!hs.ok()) return std::unexpected(err::PL_0018);
  return out;
}

std::expected<Encapsulated, PellucorError> encapsulate(std::span<const uint8_t> ek) {
  SecureArray<kMessageBytes> m;
  if (RAND_bytes(m.data(), static_cast<int>(m.size())) != 1) {
    return std::unexpected(err::PL_0018);
  }
  return encapsulate_derand(ek, m.span());
}

bool check_decapsulation_key(std::span<const uint8_t, kSecretKeyBytes> dk) {
  Hasher hs;
  uint8_t ek_hash[32];
  hs.h(dk.subspan(kDkEkOffset, kPublicKeyBytes), ek_hash);
  return hs.ok() && CRYPTO_memcmp(ek_hash, dk.data() + kDkHashOffset, 32) == 0;
}

std::expected<SecureArray<kSharedSecretBytes>, PellucorError> decapsulate(
    std::span<const uint8_t, kSecretKeyBytes> dk, std::span<const uint8_t> ct) {
  if (ct.size() != kCiphertextBytes) return std::unexpected(err::PL_0027);
  if (!check_decapsulation_key(dk)) return std::unexpected(err::PL_0027);

  const uint8_t* dk_pke = dk.data();
  const uint8_t* ek = dk.data() + kDkEkOffset;
  const uint8_t* ek_hash = dk.data() + kDkHashOffset;
  const uint8_t* z = dk.data() + kDkZOffset;

  Hasher hs;
  uint8_t m[32];
  pke_decrypt(dk_pke, ct.data(), m);
  uint8_t k_r[64];  // K' || r'
  hs.g({m, 32}, {ek_hash, 32}, k_r);
  uint8_t k_reject[32];
  hs.j({z, 32}, ct, k_reject);
  uint8_t ct2[kCiphertextBytes];
  pke_encrypt(hs, ek, m, k_r + 32, ct2);

  // Constant-time choice: K' when the re-encryption matches, else the
  // rejection key. CRYPTO_memcmp reads every byte and the mask is built
  // without a branch.
  const uint32_t diff = static_cast<uint32_t>(CRYPTO_memcmp(ct.data(), ct2, kCiphertextBytes));
  const uint8_t keep = static_cast<uint8_t>(((diff | (0u - diff)) >> 31) - 1);  // 0xff when equal
  SecureArray<kSharedSecretBytes> out;
  for (std::size_t i = 0; i < kSharedSecretBytes; ++i) {
    out[i] = static_cast<uint8_t>((k_r[i] & keep) | (k_reject[i] & static_cast<uint8_t>(~keep)));
  }

  const bool ok = hs.ok();
  wipe(m);
  wipe(k_r);
  wipe(k_reject);
  wipe(ct2);
  if (!ok) return std::unexpected(err::PL_0018);
  return out;
}

}  // namespace pellucor::mlkem768
