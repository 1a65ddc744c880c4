#include "crypto/errors.h"

#include <cstdio>

namespace pellucor {

std::string_view severity_name(Severity s) {
  return s == Severity::Bug ? "Bug" : "Error";
}

std::string_view component_name(Component c) {
  switch (c) {
    case Component::Crypto: return "Crypto";
    case Component::Vault: return "Vault";
    case Component::Cli: return "Cli";
    case Component::Browser: return "Browser";
    case Component::Mobile: return "Mobile";
    case Component::Proxy: return "Proxy";
    case Component::Admin: return "Admin";
    case Component::Sync: return "Sync";
  }
  return "Crypto";
}

std::string format_context_error(const PellucorError& e) {
  std::string out(e.code);
  out += ": ";
  out += e.user_msg;
  return out;
}

namespace {

// Decodes one UTF-8 scalar at text[i]; returns its length (0 when the bytes
// are not well-formed UTF-8).
std::size_t utf8_scalar(std::string_view text, std::size_t i, char32_t& cp) {
  auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = b(i);
  std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
  if (len == 0 || i + len > text.size()) return 0;
  cp = len == 1 ? c : len == 2 ? (c & 0x1f) : len == 3 ? (c & 0x0f) : (c & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3f);
  }
  return len;
}

// Characters the debug form writes as \u{..}: controls and the invisible
// format characters (zero-width, line/paragraph separators, bidi controls).
bool needs_unicode_escape(char32_t cp) {
  return cp < 0x20 || cp == 0x7f || (cp >= 0x80 && cp <= 0x9f) || cp == 0xad ||
         (cp >= 0x200b && cp <= 0x200f) || (cp >= 0x2028 && cp <= 0x202e) ||
         (cp >= 0x2060 && cp <= 0x206f) || cp == 0xfeff;
}

}  // namespace

std::string escape_debug_text(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t len = utf8_scalar(text, i, cp);
    if (len == 0) {  // not UTF-8: shown as the replacement character
      out += "\xef\xbf\xbd";
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      default:
        if (needs_unicode_escape(cp)) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(text.substr(i, len));
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

std::string format_pellucor_error_debug(const PellucorError& e) {
  std::string out = "PellucorError { code: ";
  out += escape_debug_text(e.code);
  out += ", user_msg: ";
  out += escape_debug_text(e.user_msg);
  out += ", tech_msg: ";
  out += escape_debug_text(e.tech_msg);
  out += ", resolution: ";
  out += escape_debug_text(e.resolution);
  out += ", severity: ";
  out += severity_name(e.severity);
  out += ", component: ";
  out += component_name(e.component);
  out += " }";
  return out;
}

namespace {
#define PELLUCOR_RECORD(name, code, comp, sev, user, tech, res) err::name,
constexpr std::array kCatalogue = {
#include "crypto/error_catalogue.inc"
};
#undef PELLUCOR_RECORD
}  // namespace

std::span<const PellucorError> error_catalogue() { return kCatalogue; }

std::string format_cli_error(const CliError& e) {
  std::string out(e.error.code);
  out += ": ";
  if (e.message.empty()) {
    out += e.error.user_msg;
  } else {
    out += e.message;
  }
  return out;
}

CliError new_argument_error(std::string_view message) {
  return CliError{std::string(message), err::PL_2000};
}

CliError make_error(const PellucorError& record, std::string message) {
  return CliError{std::move(message), record};
}

}  // namespace pellucor
