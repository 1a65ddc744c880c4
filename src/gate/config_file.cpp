#include "gate/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <cstdlib>
#include <thread>
#include <utility>

#include <openssl/crypto.h>

#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "crypto/primitives.h"
#include "gate/json_reader.h"
#include "gate/local_files.h"
#include "gate/os_error.h"
#include "gate/vault_text.h"
#include "gate/write_fully.h"

namespace pellucor {
namespace {

// The configuration as the JSON reader fills it; moved into a Config and
// wiped right after.
struct ConfigRecord {
  std::string vault_url;
  std::string vault_gate_pub;
  std::string replica_url;
  std::string replica_gate_pub;
  std::string vault_id;
  std::string agent_id;
  std::string l2;
  std::string device_id;

  ~ConfigRecord() {
    for (std::string* s : {&agent_id, &l2, &device_id}) wipe_bytes(s->data(), s->capacity());
  }
};

}  // namespace
}  // namespace pellucor

template <>
struct pellucor::json::Record<pellucor::ConfigRecord> {
  using C = pellucor::ConfigRecord;
  static constexpr MemberSpec members[] = {
      member<&C::vault_url>("vault_url"),
      member<&C::vault_gate_pub>("vault_gate_pub", Presence::Default),
      member<&C::replica_url>("replica_url", Presence::Default),
      member<&C::replica_gate_pub>("replica_gate_pub", Presence::Default),
      member<&C::vault_id>("vault_id"),
      member<&C::agent_id>("agent_id"),
      member<&C::l2>("l2"),
      member<&C::device_id>("device_id"),
  };
  static constexpr RecordSpec spec{"struct Config", members, /*positional=*/true,
                                   /*deny_unknown=*/true};
};

namespace pellucor {
namespace {

constexpr std::string_view kNotInitialised1 = "Not initialized. Config file not found at ";
constexpr std::string_view kNotInitialised2 =
    ".\n  This agent needs enrollment first. Ask a vault admin for\n"
    "  an enrollment blob, then run: pellucor-cli init\n"
    "  (Do not attempt to fix this yourself \xe2\x80\x94 a human must provide the blob and key.)";

CliError not_found(std::string message) { return make_error(err::PL_2003, std::move(message)); }
CliError write_failed(std::string message) { return make_error(err::PL_2002, std::move(message)); }

// Path pieces as the platform's path type splits them: the parent of
// "/a/b/config" is "/a/b", of "config" the empty text, of "/" nothing.
struct SplitPath {
  bool has_parent = false;
  std::string parent;
  std::string file_name;  // empty when the path ends in "..", "/" or nothing
};

SplitPath split_path(const std::string& path) {
  SplitPath out;
  const bool rooted = !path.empty() && path[0] == '/';
  std::vector<std::string_view> parts;
  for (std::size_t i = 0; i < path.size();) {
    std::size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + i, end - i);
    if (!part.empty() && part != ".") parts.push_back(part);
    i = end + 1;
  }
  if (parts.empty()) return out;  // "/" or "": no parent
  out.has_parent = true;
  out.parent = rooted ? "/" : "";
  for (std::size_t k = 0; k + 1 < parts.size(); ++k) {
    if (!out.parent.empty() && out.parent.back() != '/') out.parent += '/';
    out.parent += parts[k];
  }
  if (parts.back() != "..") out.file_name = parts.back();
  return out;
}

// The sibling of the configuration named ".<name><suffix>" (the temporary
// file and the lock file).
std::string sibling_path(const SplitPath& where, std::string_view suffix) {
  const std::string name = where.file_name.empty() ? "config" : where.file_name;
  const std::string folder =
      where.parent.empty() ? "" : (where.parent.back() == '/' ? where.parent : where.parent + "/");
  return folder + "." + name + std::string(suffix);
}

// Takes the exclusive lock every writer of the configuration holds from
// before its temporary file is created until after the rename. Readers take
// none: they only ever see a whole file. The lock file stays in place for
// good; removing it would let a later writer lock a new file while an
// earlier one still holds the old.
std::expected<FileDescriptor, CliError> lock_config_writes(const std::string& lock_path,
                                                           std::chrono::milliseconds wait) {
  // No link is followed, and a FIFO planted there opens at once, to be
  // refused. Open for writing: on NFS an exclusive flock is emulated by a
  // byte-range lock, which a read-only descriptor cannot take (EBADF).
  auto opened = open_regular_file(lock_path, O_RDWR | O_CREAT | O_NOFOLLOW, 0600);
  if (!opened) {
    const FileRefusal& why = opened.error();
    if (why.step == FileRefusal::Step::NotRegular) {
      return std::unexpected(write_failed("config lock " + single_line_text(lock_path) +
                                          " is not a regular file \xe2\x80\x94 refuse to use it"));
    }
    if (why.step == FileRefusal::Step::Open && why.error == ELOOP) {
      return std::unexpected(write_failed("config lock " + single_line_text(lock_path) +
                                          " is a symlink \xe2\x80\x94 refuse to follow it"));
    }
    return std::unexpected(
        write_failed("opening config lock " + single_line_text(lock_path) + ": " + os_error_text(why.error)));
  }
  FileDescriptor fd = std::move(opened->fd);
  // A lock file created under a umask that takes the owner's read or write
  // bit could not be opened again by the next writer.
  if ((opened->status.st_mode & 0600) != 0600 && opened->status.st_uid == ::geteuid()) ::fchmod(fd.get(), 0600);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      return std::unexpected(write_failed("locking " + single_line_text(lock_path) + ": " + os_error_text(errno)));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::unexpected(write_failed(
          "another pellucor-cli process is writing the configuration and still holds " + single_line_text(lock_path) +
          "; try again when it has finished"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The refusals that depend only on the file's status, in the order they are
// made: group or other access, then anything but a regular file.
std::optional<CliError> status_refusal(const std::string& path, const struct stat& st) {
  if ((st.st_mode & 077) != 0) {
    char mode[16];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 0777));
    return not_found("config " + single_line_text(path) + " has mode " + mode +
                     " \xe2\x80\x94 must be 0600 (group/other access refused)");
  }
  if (!S_ISREG(st.st_mode)) {
    return not_found("config " + single_line_text(path) + " is not a regular file \xe2\x80\x94 refuse to read it");
  }
  return std::nullopt;
}

CliError too_large(const std::string& path) {
  return not_found("config " + single_line_text(path) + " is larger than " + std::to_string(kConfigMaxBytes) +
                   " bytes \xe2\x80\x94 refuse to read it");
}

bool write_all(int fd, std::span<const std::uint8_t> bytes, int& error) {
  error = write_fully(fd, bytes.data(), bytes.size());
  return error == 0;
}

std::expected<std::vector<std::uint8_t>, PellucorError> seal_config_payload(
    const SecureString& json) {
  const ConfigKey key = derive_config_enc_key();
  return seal_random_nonce(key.span(), as_bytes(json.view()));
}

CliError decrypt_failed(const PellucorError& inner) {
  return make_error(err::PL_2004, "config decrypt failed: " + format_context_error(inner));
}

}  // namespace

std::expected<std::string, CliError> config_file_path_from(const char* xdg_config_home,
                                                           const char* home) {
  std::string base;
  if (xdg_config_home != nullptr && xdg_config_home[0] != '\0') {
    base = xdg_config_home;
  } else if (home != nullptr) {
    base = home;
    if (!base.empty() && base.back() != '/') base += '/';
    base += ".config";
  } else {
    return std::unexpected(not_found("cannot locate config: set HOME or XDG_CONFIG_HOME"));
  }
  if (base.empty() || base[0] != '/') {
    return std::unexpected(not_found("XDG_CONFIG_HOME and HOME must be absolute paths"));
  }
  if (base.back() != '/') base += '/';
  return base + "pellucor/config";
}

std::expected<std::string, CliError> config_file_path() {
  return config_file_path_from(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
}

std::expected<void, CliError> check_path_components(const std::string& path) {
  std::string prefix;
  std::size_t i = 0;
  if (!path.empty() && path[0] == '/') {
    prefix = "/";
    while (i < path.size() && path[i] == '/') ++i;
  }
  auto check = [&](const std::string& p) -> std::expected<bool, CliError> {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) {
      if (errno == ENOENT) return false;  // nothing below it exists either
      return std::unexpected(not_found("stat " + single_line_text(p) + ": " + os_error_text(errno)));
    }
    if (S_ISLNK(st.st_mode)) {
      return std::unexpected(not_found("config path component " + single_line_text(p) +
                                       " is a symlink \xe2\x80\x94 refuse to follow it"));
    }
    return true;
  };
  if (!prefix.empty()) {
    auto r = check(prefix);
    if (!r) return std::unexpected(r.error());
    if (!*r) return {};
  }
  while (i < path.size()) {
    std::size_t end = path.find('/', i);
    if (end == std::string::npos) end = path.size();
    const std::string_view part(path.data() + i, end - i);
    i = end;
    while (i < path.size() && path[i] == '/') ++i;
    if (part.empty() || part == ".") continue;
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    prefix += part;
    auto r = check(prefix);
    if (!r) return std::unexpected(r.error());
    if (!*r) return {};
  }
  return {};
}

std::expected<Config, CliError> load_config() {
  auto path = config_file_path();
  if (!path) return std::unexpected(path.error());
  return load_config_at(*path);
}

std::expected<Config, CliError> load_config_at(const std::string& path) {
  if (auto ok = check_path_components(path); !ok) return std::unexpected(ok.error());

  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return std::unexpected(
        not_found("config path " + single_line_text(path) + " is a symlink \xe2\x80\x94 refuse to follow it"));
  }
  // Whatever keeps the file from being found counts as "not enrolled yet".
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(
        not_found(std::string(kNotInitialised1) + single_line_text(path) + std::string(kNotInitialised2)));
  }
  // A device or FIFO is refused before it is opened at all.
  if (auto refused = status_refusal(path, st)) return std::unexpected(std::move(*refused));
  // Without blocking: whatever was swapped in since must not hang the open.
  // The same tests again on what was opened, which is what gets read.
  auto opened = open_regular_file(path, O_RDONLY | O_NOFOLLOW);
  if (!opened) {
    const FileRefusal& why = opened.error();
    switch (why.step) {
      case FileRefusal::Step::Open:
        return std::unexpected(not_found("opening " + single_line_text(path) + ": " + os_error_text(why.error)));
      case FileRefusal::Step::Status:
        return std::unexpected(not_found("stat " + single_line_text(path) + ": " + os_error_text(why.error)));
      case FileRefusal::Step::NotRegular:
        return std::unexpected(std::move(*status_refusal(path, why.status)));
      case FileRefusal::Step::Blocking:
        break;
    }
    return std::unexpected(not_found("reading " + single_line_text(path) + ": " + os_error_text(why.error)));
  }
  const FileDescriptor fd = std::move(opened->fd);
  if (auto refused = status_refusal(path, opened->status)) return std::unexpected(std::move(*refused));
  if (static_cast<std::uintmax_t>(opened->status.st_size) > kConfigMaxBytes) {
    return std::unexpected(too_large(path));
  }
  // Anyone holding the file's bytes can unseal them (the sealing keys are
  // built into the program), so they are read straight into a wiping buffer.
  // The file may grow after the fstat: one byte past the cap is room enough
  // to see that it did.
  SecureBytes bytes(kConfigMaxBytes + 1);
  std::size_t used = 0;
  for (;;) {
    const ssize_t n = ::read(fd.get(), bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(not_found("reading " + single_line_text(path) + ": " + os_error_text(errno)));
    }
    if (n == 0) break;
    used += static_cast<std::size_t>(n);
    if (used > kConfigMaxBytes) return std::unexpected(too_large(path));
  }
  return open_config_bytes(std::span<const std::uint8_t>(bytes.data(), used));
}

SecureString encode_config_json(const Config& c) {
  SecureBytes out = new_json_buffer();
  out.reserve(128 + c.vault_gate_pub.size() + c.replica_gate_pub.size() + c.vault_url.size() +
              c.replica_url.size() + 160);
  auto field = [&](std::string_view key, std::string_view value) {
    out.push_back(out.empty() ? '{' : ',');
    json::append_string(key, out);
    out.push_back(':');
    json::append_string(value, out);
  };
  field("vault_url", c.vault_url);
  field("vault_gate_pub", c.vault_gate_pub);
  if (!c.replica_url.empty()) field("replica_url", c.replica_url);
  if (!c.replica_gate_pub.empty()) field("replica_gate_pub", c.replica_gate_pub);
  field("vault_id", c.vault_id);
  field("agent_id", c.agent_id);
  field("l2", c.l2);
  field("device_id", c.device_id);
  out.push_back('}');
  return SecureString(reinterpret_cast<const char*>(out.data()), out.size());
}

std::optional<std::string> config_parent_folder(const std::string& path) {
  SplitPath where = split_path(path);
  if (!where.has_parent) return std::nullopt;
  return std::move(where.parent);
}

std::expected<void, CliError> check_config_path_length(const std::string& path) {
  const SplitPath where = split_path(path);
  // The lock file beside the configuration has the longest name of the
  // three; the path itself may be longer still when it holds "." or doubled
  // separators, which the folder drops.
  const std::size_t longest = std::max(path.size(), where.has_parent ? sibling_path(where, ".lock").size() : 0);
  const std::size_t limit = longest_path_bytes();
  if (longest <= limit) return {};
  const std::size_t room = limit - std::min(limit, longest - path.size());
  return std::unexpected(write_failed("config path is " + std::to_string(path.size()) + " bytes, more than the " +
                                      std::to_string(room) + " the system allows for it"));
}

std::expected<void, CliError> create_config_folder(const std::string& folder) {
  if (const int e = create_private_folders(folder); e != 0) {
    return std::unexpected(write_failed("creating " + single_line_text(folder) + " failed: " + os_error_text(e)));
  }
  return {};
}

std::expected<void, CliError> write_config(const std::string& path, const Config& config,
                                           const ConfigWriteOptions& options) {
  if (auto fits = check_config_path_length(path); !fits) return fits;
  const SplitPath where = split_path(path);
  if (where.has_parent && !where.parent.empty()) {
    if (auto made = create_config_folder(where.parent); !made) return made;
    struct stat st {};
    if (::lstat(where.parent.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
      return std::unexpected(write_failed("config parent " + single_line_text(where.parent) +
                                          " is a symlink \xe2\x80\x94 refuse to write through it"));
    }
  }

  std::vector<std::uint8_t> file;
  {
    const SecureString json = encode_config_json(config);
    auto sealed = seal_config_payload(json);
    if (!sealed) return std::unexpected(write_failed("PLC1 pack failed"));
    file = pack_config_file(*sealed);
  }
  // Never write what no read would accept.
  if (file.size() > kConfigMaxBytes) {
    return std::unexpected(write_failed("config would be " + std::to_string(file.size()) +
                                        " bytes, more than the " + std::to_string(kConfigMaxBytes) +
                                        " a read accepts"));
  }

  if (!where.has_parent) return std::unexpected(write_failed("config path has no parent"));
  const std::string tmp = sibling_path(where, ".tmp");

  auto lock = lock_config_writes(sibling_path(where, ".lock"), options.lock_wait);
  if (!lock) return std::unexpected(std::move(lock.error()));
  if (options.under_lock) {
    if (auto ok = options.under_lock(); !ok) return ok;
  }

  constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = ::open(tmp.c_str(), kCreateFlags, 0600);
  if (fd < 0 && errno == EEXIST) {
    // Left by an interrupted earlier write (a live writer would hold the
    // lock): remove it and try once more.
    ::unlink(tmp.c_str());
    fd = ::open(tmp.c_str(), kCreateFlags, 0600);
  }
  if (fd < 0) return std::unexpected(write_failed("creating temp config: " + os_error_text(errno)));
  // 0600 whatever the umask: a umask that takes the owner's read bit would
  // otherwise leave a configuration that no later command can read.
  if (::fchmod(fd, 0600) != 0) {
    const int e = errno;
    ::close(fd);
    ::unlink(tmp.c_str());
    return std::unexpected(write_failed("creating temp config: " + os_error_text(e)));
  }

  // A failed write or rename takes its temporary file away: a partial copy
  // of the keys must not stay on disk. The lock makes it this write's own.
  auto discard = [&](CliError failure) {
    ::unlink(tmp.c_str());
    return std::unexpected(std::move(failure));
  };
  int error = 0;
  // The data reaches the disk before the rename makes it the configuration,
  // so a crash never leaves an empty or torn file in its place.
  const bool written = write_all(fd, file, error) && (::fsync(fd) == 0 || (error = errno) == 0);
  if (::close(fd) != 0 && written) error = errno;
  if (error != 0) return discard(write_failed("writing temp config: " + os_error_text(error)));

  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    return discard(write_failed("renaming temp config to " + single_line_text(path) + ": " + os_error_text(errno)));
  }
  // Make the rename itself durable. Best effort: the old or the new file is
  // whole either way, and some file systems refuse to sync a folder.
  const std::string folder = where.parent.empty() ? "." : where.parent;
  if (const int dfd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return {};
}

std::vector<std::uint8_t> pack_config_file(std::span<const std::uint8_t> sealed) {
  const ConfigKey mac_key = derive_config_mac_key();
  const Sha256Digest mac = hmac_sha256(mac_key.span(), sealed);
  std::vector<std::uint8_t> out(kConfigMagic.size() + kConfigMacBytes + sealed.size());
  std::copy(kConfigMagic.begin(), kConfigMagic.end(), out.begin());
  std::copy_n(mac.begin(), kConfigMacBytes, out.begin() + kConfigMagic.size());
  std::copy(sealed.begin(), sealed.end(), out.begin() + kConfigMagic.size() + kConfigMacBytes);
  return out;
}

std::expected<Config, CliError> open_config_bytes(std::span<const std::uint8_t> file) {
  if (file.size() < kConfigMinBytes) return std::unexpected(decrypt_failed(err::PL_0008));
  if (!std::equal(kConfigMagic.begin(), kConfigMagic.end(), file.begin())) {
    return std::unexpected(decrypt_failed(err::PL_0009));
  }
  const auto stored_mac = file.subspan(kConfigMagic.size(), kConfigMacBytes);
  const auto sealed = file.subspan(kConfigMagic.size() + kConfigMacBytes);
  {
    // Compare digests of the two MACs, in constant time, before any
    // decryption is tried.
    const ConfigKey mac_key = derive_config_mac_key();
    const Sha256Digest mac = hmac_sha256(mac_key.span(), sealed);
    const Sha256Digest expected = sha256(std::span(mac).first(kConfigMacBytes));
    const Sha256Digest stored = sha256(stored_mac);
    if (CRYPTO_memcmp(expected.data(), stored.data(), expected.size()) != 0) {
      return std::unexpected(decrypt_failed(err::PL_0003));
    }
  }
  const ConfigKey key = derive_config_enc_key();
  auto plaintext = decrypt_nonce_prefixed(key.span(), sealed);
  if (!plaintext) return std::unexpected(decrypt_failed(plaintext.error()));
  return parse_config_json(
      std::string_view(reinterpret_cast<const char*>(plaintext->data()), plaintext->size()));
}

std::expected<SecureArray<16>, CliError> parse_hex_key16(std::string_view text,
                                                         std::string_view field) {
  const std::string name(field);
  const std::optional<SecureBytes> decoded = hex_decode(text, HexCase::Any);
  if (!decoded) return std::unexpected(make_error(err::PL_2004, name + " is not valid hex"));
  if (decoded->size() != 16) {
    return std::unexpected(make_error(
        err::PL_2004, name + " expected 16 bytes, got " + std::to_string(decoded->size())));
  }
  return SecureArray<16>(std::span<const std::uint8_t, 16>(decoded->data(), 16));
}

std::expected<Config, CliError> parse_config_json(std::string_view json) {
  auto record = json::decode_text<ConfigRecord>(json);
  if (!record) {
    return std::unexpected(make_error(err::PL_2004, "config JSON parse: " + record.error().text()));
  }
  Config c;
  c.vault_url = std::move(record->vault_url);
  c.vault_gate_pub = std::move(record->vault_gate_pub);
  c.replica_url = std::move(record->replica_url);
  c.replica_gate_pub = std::move(record->replica_gate_pub);
  c.vault_id = std::move(record->vault_id);
  c.agent_id.assign(record->agent_id);
  c.l2.assign(record->l2);
  c.device_id.assign(record->device_id);
  return c;
}

std::expected<ChannelKey, CliError> parse_channel_key_field(std::string_view text,
                                                            std::string_view field) {
  auto key = parse_channel_key(text);
  if (!key) {
    return std::unexpected(
        make_error(err::PL_2004, std::string(field) + ": " +
                                     std::string(format_channel_key_error(key.error())) +
                                     ": make a new client blob in the vault and enrol again"));
  }
  return *key;
}

SecureBytes new_json_buffer() {
  SecureBytes out;
  out.reserve(128);
  return out;
}

}  // namespace pellucor
