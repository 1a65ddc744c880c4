#include "gate/transport.h"

#include "crypto/encoding.h"
#include "crypto/p256.h"
#include "crypto/primitives.h"
#include "gate/framing.h"
#include "gate/handshake.h"
#include "gate/vault_text.h"
#include "gate/write_fully.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>

namespace pellucor {
namespace {

// ---- text helpers ---------------------------------------------------------

std::string first_set(const EnvLookup& env, std::initializer_list<std::string_view> names) {
  for (std::string_view name : names) {
    if (auto v = env(name); v && !v->empty()) return *v;
  }
  return {};
}

// ---- libcurl plumbing -----------------------------------------------------

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct CurlDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct UrlDeleter {
  void operator()(CURLU* u) const { curl_url_cleanup(u); }
};

// Handed to libcurl in place of a proxy it could not use. libcurl refuses the
// scheme while it sets up the connection, before any name is resolved or any
// socket opened, unless NO_PROXY spares the host, in which case no proxy
// would have been used anyway.
constexpr const char* kRefusedProxy = "refused-proxy://0";

// A part of a proxy URL decoded the way libcurl decodes it, and wiped: it may
// be the proxy's password. False when libcurl cannot decode it.
bool part_decodes(CURLU* url, CURLUPart part, CURLUcode absent) {
  char* text = nullptr;
  const CURLUcode rc = curl_url_get(url, part, &text, CURLU_URLDECODE);
  if (text != nullptr) {
    wipe_bytes(text, std::char_traits<char>::length(text));
    curl_free(text);
  }
  return rc == CURLUE_OK || rc == absent;
}

bool is_scheme_text(std::string_view s) {
  if (s.empty() || !std::isalpha(static_cast<unsigned char>(s.front()))) return false;
  for (char c : s) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

// The state of one exchange, filled by libcurl's callbacks.
struct Exchange {
  CURL* handle = nullptr;
  long status = 0;
  bool head_done = false;  // the final response head has arrived
  bool refused = false;    // its status lies outside 200-299
  bool over_cap = false;
  std::size_t content_length = 0;
  std::string body;
};

bool header_is(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char a = line[i], b = name[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

// Judges the status as soon as the response head is complete, so that a
// refused handshake never has its body read.
std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  const std::size_t len = size * count;
  std::string_view line(data, len);
  if (header_is(line, "content-length")) {
    std::string_view v = trim_white_space(line.substr(15));
    std::size_t cl = 0;
    if (std::from_chars(v.data(), v.data() + v.size(), cl).ec == std::errc{}) x->content_length = cl;
  }
  if (line == "\r\n" || line == "\n") {
    long code = 0;
    curl_easy_getinfo(x->handle, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code <= 199) {  // an interim response: the real one follows
      x->content_length = 0;
      return len;
    }
    x->status = code;
    x->head_done = true;
    if (code < 200 || code > 299) {
      x->refused = true;
      return 0;  // stop before the body
    }
    if (x->content_length > 0 && x->content_length <= MAX_GATE_REPLY_TEXT_BYTES)
      x->body.reserve(x->content_length);
  }
  return len;
}

// Keeps the decoded body, refusing to hold a byte past the cap.
std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto* x = static_cast<Exchange*>(user);
  const std::size_t len = size * count;
  if (x->refused) return 0;
  if (len > MAX_GATE_REPLY_TEXT_BYTES - x->body.size()) {
    x->over_cap = true;
    return 0;
  }
  x->body.append(data, len);
  return len;
}

CliError refused_error(long status) {
  return make_error(err::PL_2047,
                    "gate refused the handshake (HTTP " + std::to_string(status) + ") — wrong pubkey or dark gate");
}

CliError unreadable_error(std::string_view library_text) {
  return make_error(err::PL_2021, "gate response over " + std::to_string(MAX_GATE_REPLY_TEXT_BYTES) +
                                      "+ bytes or unreadable — refuse to buffer: " + std::string(library_text));
}

}  // namespace

std::expected<std::string, CliError> gate_url_from_vault_url(std::string_view vault_url) {
  const auto not_clean_origin = [](std::string_view url) {
    return make_error(err::PL_2000, "vault_url is not a clean https origin (got " + single_line_text(url) + ")");
  };
  std::string_view t = trim_white_space(vault_url);
  if (!t.starts_with("https://") && !t.starts_with("HTTPS://"))
    return std::unexpected(
        make_error(err::PL_2000, "vault_url must be https:// (got " + single_line_text(vault_url) + ")"));
  std::string_view rest = t.substr(8);
  // An empty host ("https:///...") is no origin either: stripping the slashes
  // would otherwise leave "https:/gate".
  if (rest.empty() || rest.front() == '/' || rest.find_first_of("@?# \\") != std::string_view::npos)
    return std::unexpected(not_clean_origin(vault_url));
  while (!t.empty() && t.back() == '/') t.remove_suffix(1);
  std::string gate_url = std::string(t) + "/gate";
  // What libcurl cannot read as a URL (a port past 65535, a control
  // character, a host it refuses) no call could ever reach: read with the
  // flags libcurl reads a transfer's URL with.
  std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
  if (parsed && curl_url_set(parsed.get(), CURLUPART_URL, gate_url.c_str(),
                              CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::unexpected(not_clean_origin(vault_url));
  return gate_url;
}

ProxySetting proxy_setting_from_env(const EnvLookup& env) {
  for (std::string_view name : {"ALL_PROXY", "all_proxy", "HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"}) {
    if (auto v = env(name); v && !v->empty()) return {std::string(name), std::move(*v)};
  }
  return {};
}

std::string proxy_from_env(const EnvLookup& env) { return proxy_setting_from_env(env).value; }

std::optional<std::string> proxy_refusal(std::string_view proxy) {
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) return "out of memory";
  const std::string text(proxy);
  // The flags libcurl reads a proxy with: any scheme parses (it is judged
  // below), and a value without one gets one from its host name.
  if (curl_url_set(url.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME | CURLU_GUESS_SCHEME) !=
      CURLUE_OK)
    return "libcurl cannot read it as a URL";
  char* scheme_text = nullptr;
  if (curl_url_get(url.get(), CURLUPART_SCHEME, &scheme_text, 0) != CURLUE_OK) return "it has no scheme";
  std::string scheme(scheme_text);
  curl_free(scheme_text);
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  constexpr std::array<std::string_view, 7> kProxySchemes = {"http",   "https",  "socks",  "socks4",
                                                             "socks4a", "socks5", "socks5h"};
  if (std::find(kProxySchemes.begin(), kProxySchemes.end(), scheme) == kProxySchemes.end())
    return "libcurl has no proxy of scheme \"" + scheme + "\"";
  if (scheme == "https" && (curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_HTTPS_PROXY) == 0)
    return "this libcurl cannot use an https proxy";
  if (!part_decodes(url.get(), CURLUPART_USER, CURLUE_NO_USER)) return "its user name decodes to a control character";
  if (!part_decodes(url.get(), CURLUPART_PASSWORD, CURLUE_NO_PASSWORD))
    return "its password decodes to a control character";
  return std::nullopt;
}

std::string redact_proxy_url(std::string_view proxy) {
  std::string out(proxy);
  // What could be a password lies between the first ':' after the scheme and
  // the last '@'; hiding too much is harmless, hiding too little is not.
  std::size_t from = out.find("://");
  from = from != std::string::npos && is_scheme_text(std::string_view(out).substr(0, from)) ? from + 3 : 0;
  const std::size_t at = out.rfind('@');
  if (at != std::string::npos && at >= from) {
    const std::size_t colon = out.find(':', from);
    if (colon < at) out.replace(colon + 1, at - colon - 1, "***");
  }
  return single_line_text(out);
}

std::expected<std::string, CliError> gate_http_post(std::string_view gate_url, std::string_view body,
                                                    const TransportOptions& options) {
  global_init_once();
  std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
  if (!handle) return std::unexpected(make_error(err::PL_2020, "POST /gate: out of memory"));
  CURL* h = handle.get();

  std::unique_ptr<curl_slist, SlistDeleter> headers;
  for (const char* line : {"Content-Type: text/plain", "Expect:", "Accept:"}) {
    curl_slist* next = curl_slist_append(headers.get(), line);
    if (next == nullptr) return std::unexpected(make_error(err::PL_2020, "POST /gate: out of memory"));
    (void)headers.release();
    headers.reset(next);
  }

  Exchange x;
  x.handle = h;
  std::array<char, CURL_ERROR_SIZE> error_text{};
  const std::string url(gate_url);
  const ProxySetting proxy = proxy_setting_from_env(options.env);
  const std::string no_proxy = first_set(options.env, {"NO_PROXY", "no_proxy"});
  // libcurl drops a proxy it cannot use and connects directly, without a
  // word. The user asked for a proxy, so that must not happen; yet a host
  // that NO_PROXY names is reached directly whatever the proxy, and libcurl
  // alone decides how the list matches. So the unusable proxy is handed over
  // as a stand-in libcurl refuses before it touches the network.
  const std::optional<std::string> refusal = proxy.value.empty() ? std::nullopt : proxy_refusal(proxy.value);
  const char* proxy_option = refusal ? kRefusedProxy : proxy.value.c_str();

  bool ok = apply_client_tls_config(h);
  auto set = [&](CURLcode c) { ok = ok && c == CURLE_OK; };
  set(curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_text.data()));
  set(curl_easy_setopt(h, CURLOPT_URL, url.c_str()));
  set(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https"));
  set(curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
  set(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
  set(curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L));
  set(curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L));
  set(curl_easy_setopt(h, CURLOPT_MAXREDIRS, 0L));
  set(curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(options.deadline.count())));
  set(curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connect_timeout.count())));
  // The proxy is chosen here from the environment, so libcurl's own reading
  // of it (which orders and scopes the variables differently) never applies.
  set(curl_easy_setopt(h, CURLOPT_PROXY, proxy_option));
  set(curl_easy_setopt(h, CURLOPT_NOPROXY, no_proxy.c_str()));
  set(curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));
  set(curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "gzip"));
  set(curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()));
  set(curl_easy_setopt(h, CURLOPT_POST, 1L));
  set(curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
  set(curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data()));
  set(curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &on_header));
  set(curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void*>(&x)));
  set(curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_body));
  set(curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void*>(&x)));
  if (!ok) return std::unexpected(make_error(err::PL_2020, "POST /gate: the HTTP client refused its settings"));

  const CURLcode rc = curl_easy_perform(h);
  std::string library_text = error_text[0] != '\0' ? std::string(error_text.data()) : curl_easy_strerror(rc);

  if (refusal && rc != CURLE_OK && library_text.find(kRefusedProxy) != std::string::npos)
    return std::unexpected(make_error(err::PL_2020, "POST /gate: proxy '" + redact_proxy_url(proxy.value) +
                                                        "' from " + proxy.variable + " cannot be used: " + *refusal));
  // libcurl quotes the proxy as given in some of its messages; never its
  // password.
  if (!proxy.value.empty()) {
    const std::string shown = redact_proxy_url(proxy.value);
    for (std::size_t at = library_text.find(proxy.value); at != std::string::npos;
         at = library_text.find(proxy.value, at + shown.size()))
      library_text.replace(at, proxy.value.size(), shown);
  }

  if (x.refused) return std::unexpected(refused_error(x.status));
  if (rc != CURLE_OK) {
    if (!x.head_done) return std::unexpected(make_error(err::PL_2020, "POST /gate: " + library_text));
    return std::unexpected(unreadable_error(library_text));
  }
  if (!x.head_done) {  // a transfer that ended well always has a head; be strict anyway
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    if (code < 200 || code > 299) return std::unexpected(refused_error(code));
  }
  if (auto bad = utf8_error_text(as_bytes(x.body)))
    return std::unexpected(make_error(err::PL_2021, "read msg2: " + *bad));
  return std::move(x.body);
}

bool should_fail_over(const CliError& error) {
  if (error.error.code == "PL-2020") return true;
  const std::string shown = format_cli_error(error);
  for (std::string_view phrase : {"HTTP 502", "HTTP 503", "HTTP 504", "dark gate"}) {
    if (shown.find(phrase) != std::string::npos) return true;
  }
  return false;
}

std::expected<nlohmann::json, CliError> gate_call(std::string_view credential, std::string_view gate_url,
                                                  std::span<const std::uint8_t> channel_key,
                                                  std::string_view action, const nlohmann::json& args,
                                                  const TransportOptions& options) {
  // The call's own static key: never the agent's identity, never reused.
  auto s = p256_generate_private();
  if (!s) return std::unexpected(make_error(err::PL_2047, "key: " + format_pellucor_error_debug(s.error())));
  if (channel_key.size() != GATE_CHANNEL_KEY_BYTES)
    return std::unexpected(make_error(err::PL_2047, "the responder key is " + std::to_string(channel_key.size()) +
                                                        " bytes, a node public key is " +
                                                        std::to_string(GATE_CHANNEL_KEY_BYTES)));
  std::string body;
  std::optional<InitiatorHandshake> state;
  {
    auto payload = encode_gate_request(action, credential, args);
    if (!payload) return std::unexpected(std::move(payload.error()));
    auto start = write_handshake_message1(channel_key, s->span(), *payload);
    if (!start) return std::unexpected(std::move(start.error()));
    body = base64_encode(start->message1);
    state.emplace(std::move(start->state));
  }  // message 1 and the framed request are released here, before the network wait
  s->wipe();  // message 1 holds what message 2 needs of it

  auto text = gate_http_post(gate_url, body, options);
  std::string().swap(body);
  if (!text) return std::unexpected(std::move(text.error()));
  const std::string_view trimmed = trim_white_space(*text);
  auto message2 = base64_decode_checked(trimmed);
  if (!message2)
    return std::unexpected(make_error(err::PL_2047, "msg2 not base64: " + format_base64_decode_error(message2.error())));
  std::string().swap(*text);
  auto plaintext = read_handshake_message2(std::move(*state), *message2);
  if (!plaintext) return std::unexpected(std::move(plaintext.error()));
  return decode_gate_reply(std::move(*plaintext));
}

std::expected<nlohmann::json, CliError> gate_call_with_failover(std::string_view credential,
                                                                const GateEndpoint& primary,
                                                                const std::optional<GateEndpoint>& replica,
                                                                std::string_view action, const nlohmann::json& args,
                                                                const TransportOptions& options) {
  return call_with_failover(
      [&](bool to_replica) {
        const GateEndpoint& gate = to_replica ? *replica : primary;
        return gate_call(credential, gate.gate_url, gate.channel_key.bytes, action, args, options);
      },
      replica.has_value());
}

std::expected<nlohmann::json, CliError> gate_call_with_failover(const GateContext& context, std::string_view action,
                                                                const nlohmann::json& args,
                                                                const TransportOptions& options) {
  return gate_call_with_failover(context.credential.view(), context.primary, context.replica, action, args, options);
}

std::expected<nlohmann::json, CliError> call_with_failover(const GateAttempt& attempt, bool has_replica) {
  auto primary = attempt(false);
  if (primary || !has_replica || !should_fail_over(primary.error())) return primary;
  (void)write_fully(2, kFailoverNotice);  // a notice: nothing to do should it not get through
  return attempt(true);
}

}  // namespace pellucor
