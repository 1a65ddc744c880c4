// The TLS trust store of the gate connection and the client TLS settings.
//
// The vault's server certificate is verified against the system's trusted
// roots merged with a table of public roots built into the program, minus
// roots matching an exclusion pattern. The merged list and the OpenSSL store
// made from it are built once per process, on first use, and then shared
// read-only by every HTTPS call. The vault node itself is pinned one layer up,
// by its Noise channel key; this layer pins nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

typedef struct x509_store_st X509_STORE;
typedef void CURL;

namespace pellucor {

// One root certificate, as DER bytes.
using RootDer = std::span<const std::uint8_t>;

// builtin_root_table returns every root compiled into the program, in table
// order, before exclusion. (Generated at build time.)
std::span<const RootDer> builtin_root_table();

// excluded_root_patterns: byte patterns that keep a root out of the store when
// its DER holds one of them as a contiguous run.
std::span<const std::string_view> excluded_root_patterns();

// der_contains_excluded_pattern returns true when `der` holds any excluded
// pattern; a DER shorter than a pattern cannot match it.
bool der_contains_excluded_pattern(RootDer der);

// Reads one environment variable; nullopt when it is unset (an empty value
// counts as set).
using EnvLookup = std::function<std::optional<std::string>(std::string_view name)>;

// process_env reads the real process environment.
std::optional<std::string> process_env(std::string_view name);

// The distribution's bundle, read when neither SSL_CERT_FILE nor SSL_CERT_DIR
// names anything.
inline constexpr std::string_view kSystemRootBundle = "/etc/ssl/certs/ca-certificates.crt";

// load_system_roots reads the system's roots: when SSL_CERT_FILE is set, or
// SSL_CERT_DIR (a ":"-separated list, empty items skipped) names at least one
// folder, the PEM certificates of that file and of the OpenSSL-hashed files
// ("<8 hex>.<digit>") of those folders; otherwise those of `default_bundle`.
// Unreadable files and bad PEM are skipped: it never fails, at worst it
// returns nothing. Exact duplicates are listed once, at their first place.
std::vector<std::vector<std::uint8_t>> load_system_roots(const EnvLookup& env,
                                                         std::string_view default_bundle = kSystemRootBundle);

// The merged roots: the system's roots minus excluded ones, in loader order,
// then each built-in root that is not byte-for-byte already present.
struct TrustedRoots {
  std::vector<std::vector<std::uint8_t>> system;  // owns the system roots' bytes
  std::vector<RootDer> roots;                     // the merged list, in order
};

// merge_trusted_roots builds the merged list from loaded system roots and the
// built-in roots (already filtered). `roots` refers into the result's own
// `system` storage and into `builtin`, which must outlive it.
TrustedRoots merge_trusted_roots(std::vector<std::vector<std::uint8_t>> system, std::span<const RootDer> builtin);

// builtin_roots: the built-in table minus excluded roots; built once.
const std::vector<RootDer>& builtin_roots();

// trusted_roots: the process-wide merged list, built once (thread-safe) from
// the process environment; later changes of the environment are not seen.
const TrustedRoots& trusted_roots();

// certificate_subject returns the subject Name (its whole DER element) of a
// DER certificate, found by walking the outer structure without decoding the
// certificate; nullopt when the structure cannot be walked.
std::optional<RootDer> certificate_subject(RootDer der);

// make_trust_store returns an OpenSSL store whose trust anchors are `roots`
// (certificates that do not parse are no anchors). A root is decoded only
// when verification first asks for its subject name: decoding every root up
// front costs more than the rest of a short-lived process's gate call. The
// store refers to `roots`, which must outlive it. Null only when OpenSSL
// cannot allocate.
X509_STORE* make_trust_store(std::span<const RootDer> roots);

// client_trust_store: make_trust_store over trusted_roots(), built once and
// shared by all connections (never freed; callers take no ownership).
X509_STORE* client_trust_store();

// apply_client_tls_config sets the gate connection's TLS settings on a libcurl
// handle: TLS 1.2 to 1.3 with AEAD suites only, certificate and host-name
// verification on, server name indication on, no client certificate, and the
// shared trust store in place of any CA file or folder. Returns false when
// libcurl refuses a setting (the caller then refuses to connect).
bool apply_client_tls_config(CURL* handle);

}  // namespace pellucor
