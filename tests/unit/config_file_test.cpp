#include "gate/config_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <thread>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "crypto/encoding.h"
#include "crypto/field_keys.h"
#include "crypto/primitives.h"
#include "tests/support/vector_files.h"

namespace pellucor {
namespace {

namespace fs = std::filesystem;

std::string line_of(const CliError& e) { return format_cli_error(e); }

std::vector<std::uint8_t> unhex(std::string_view text) {
  auto bytes = hex_decode(text);
  EXPECT_TRUE(bytes.has_value()) << text;
  return bytes ? std::vector<std::uint8_t>(bytes->begin(), bytes->end()) : std::vector<std::uint8_t>{};
}

Config sample_config() {
  Config c;
  c.vault_url = "https://vault.example.test";
  c.vault_gate_pub = std::string(2498, 'a');
  c.vault_id = "01a2b3c4d5e6f708";
  c.agent_id = "6a9845b7a4685192ece2de79ce531ce8";
  c.l2 = "a6f656d04e0889a3642a5c118b8d471d";
  c.device_id = "57cc714a70493c0f5b7488a6171d8295";
  return c;
}

Config config_from_json(const nlohmann::json& j) {
  Config c;
  c.vault_url = j.at("vault_url").get<std::string>();
  c.vault_gate_pub = j.at("vault_gate_pub").get<std::string>();
  c.replica_url = j.value("replica_url", "");
  c.replica_gate_pub = j.value("replica_gate_pub", "");
  c.vault_id = j.at("vault_id").get<std::string>();
  c.agent_id.assign(j.at("agent_id").get<std::string>());
  c.l2.assign(j.at("l2").get<std::string>());
  c.device_id.assign(j.at("device_id").get<std::string>());
  return c;
}

// A file image sealing `json` as it is (for contents write_config never makes).
std::vector<std::uint8_t> seal_json(std::string_view json) {
  const ConfigKey key = derive_config_enc_key();
  auto sealed = seal_random_nonce(key.span(), as_bytes(json));
  EXPECT_TRUE(sealed.has_value());
  return pack_config_file(*sealed);
}

TEST(ConfigPath, FollowsXdgConfigHomeThenHome) {
  struct Case {
    const char* xdg;
    const char* home;
    std::string expected;
  };
  const Case cases[] = {
      {"/x", "/h", "/x/pellucor/config"},
      {"/x/", nullptr, "/x/pellucor/config"},
      {"", "/h", "/h/.config/pellucor/config"},
      {nullptr, "/h", "/h/.config/pellucor/config"},
      {nullptr, "/", "/.config/pellucor/config"},
      {"relative", "/h", "PL-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
      {nullptr, "", "PL-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
      {nullptr, "home", "PL-2003: XDG_CONFIG_HOME and HOME must be absolute paths"},
      {nullptr, nullptr, "PL-2003: cannot locate config: set HOME or XDG_CONFIG_HOME"},
      {"", nullptr, "PL-2003: cannot locate config: set HOME or XDG_CONFIG_HOME"},
  };
  for (const auto& c : cases) {
    auto got = config_file_path_from(c.xdg, c.home);
    EXPECT_EQ(got ? *got : line_of(got.error()), c.expected)
        << (c.xdg ? c.xdg : "(unset)") << " " << (c.home ? c.home : "(unset)");
  }
}

TEST(ConfigHexKey, DecodesSixteenBytesOfEitherCase) {
  auto lower = parse_hex_key16("a6f656d04e0889a3642a5c118b8d471d", "l2");
  auto upper = parse_hex_key16("A6F656D04E0889A3642A5C118B8D471D", "l2");
  ASSERT_TRUE(lower.has_value());
  ASSERT_TRUE(upper.has_value());
  EXPECT_EQ((*lower)[0], 0xa6);
  EXPECT_EQ((*lower)[15], 0x1d);
  EXPECT_TRUE(std::equal(lower->begin(), lower->end(), upper->begin()));

  const std::pair<std::string, std::string> refusals[] = {
      {"a6f656d04e0889a3642a5c118b8d471", "PL-2004: agent_id is not valid hex"},
      {"g6f656d04e0889a3642a5c118b8d471d", "PL-2004: agent_id is not valid hex"},
      {" a6f656d04e0889a3642a5c118b8d471d ", "PL-2004: agent_id is not valid hex"},
      {"a6f656d04e0889a3642a5c118b8d47", "PL-2004: agent_id expected 16 bytes, got 15"},
      {"a6f656d04e0889a3642a5c118b8d471d00", "PL-2004: agent_id expected 16 bytes, got 17"},
      {"", "PL-2004: agent_id expected 16 bytes, got 0"},
  };
  for (const auto& [text, message] : refusals) {
    auto r = parse_hex_key16(text, "agent_id");
    ASSERT_FALSE(r.has_value()) << text;
    EXPECT_EQ(line_of(r.error()), message);
  }
}

TEST(ConfigJson, IsCompactInDeclaredOrderWithoutEmptyReplicaKeys) {
  Config c = sample_config();
  c.vault_gate_pub = "pub";
  EXPECT_EQ(encode_config_json(c).view(),
            R"({"vault_url":"https://vault.example.test","vault_gate_pub":"pub",)"
            R"("vault_id":"01a2b3c4d5e6f708","agent_id":"6a9845b7a4685192ece2de79ce531ce8",)"
            R"("l2":"a6f656d04e0889a3642a5c118b8d471d","device_id":"57cc714a70493c0f5b7488a6171d8295"})");
  c.replica_url = "https://r\"\\\n\x01";
  c.replica_gate_pub = "rp";
  const SecureString json = encode_config_json(c);
  EXPECT_NE(json.view().find(R"("vault_gate_pub":"pub","replica_url":"https://r\"\\\n\u0001",)"
                             R"("replica_gate_pub":"rp","vault_id")"),
            std::string_view::npos)
      << json.view();
}

TEST(ConfigInterop, KeysMatchTheTranscript) {
  PELLUCOR_LOAD_VECTORS(doc_, "interop/config.json");
  const ConfigKey enc = derive_config_enc_key();
  const ConfigKey mac = derive_config_mac_key();
  EXPECT_EQ(hex_encode(enc.span()), doc_["enc_key"].get<std::string>());
  EXPECT_EQ(hex_encode(mac.span()), doc_["mac_key"].get<std::string>());
}

TEST(ConfigInterop, SealedFilesMatchByteForByteAndOpen) {
  PELLUCOR_LOAD_VECTORS(doc_, "interop/config.json");
  ASSERT_FALSE(doc_["cases"].empty());
  for (const auto& c : doc_["cases"]) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const Config config = config_from_json(c["config"]);
    const SecureString json = encode_config_json(config);
    EXPECT_EQ(json.view(), c["json"].get<std::string>());

    const ConfigKey key = derive_config_enc_key();
    const auto nonce = unhex(c["nonce"].get<std::string>());
    ASSERT_EQ(nonce.size(), kAeadNonceLen);
    auto sealed = seal_with_nonce(key.span(), std::span<const std::uint8_t, kAeadNonceLen>(nonce.data(), 12),
                                  as_bytes(json.view()));
    ASSERT_TRUE(sealed.has_value());
    const auto file = pack_config_file(*sealed);
    EXPECT_EQ(hex_encode(file), c["file"].get<std::string>());
    EXPECT_EQ(file.size(), json.size() + kConfigMinBytes);

    auto opened = open_config_bytes(unhex(c["file"].get<std::string>()));
    ASSERT_TRUE(opened.has_value()) << line_of(opened.error());
    EXPECT_EQ(*opened, config);
  }
}

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/pellucor-config-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    path_ = (root_ / "pellucor" / "config").string();
  }
  void TearDown() override { fs::remove_all(root_); }

  void write_bytes(const std::vector<std::uint8_t>& bytes, mode_t mode = 0600) {
    fs::create_directories(root_ / "pellucor");
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ::chmod(path_.c_str(), mode);
  }
  std::vector<std::uint8_t> read_bytes() {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::string load_error() {
    auto r = load_config_at(path_);
    return r ? std::string("(loaded)") : line_of(r.error());
  }

  std::string lock_path() const { return (root_ / "pellucor" / ".config.lock").string(); }

  fs::path root_;
  std::string path_;
};

// A lock on the configuration as another writing process holds it: its own
// open of the lock file (flock locks belong to the open file, so this
// conflicts with write_config in the same process too).
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    EXPECT_GE(fd_, 0) << path;
    EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << path;
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { release(); }
  void release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// The umask of the process for one scope.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

TEST_F(ConfigFileTest, WrittenFileLoadsBackWithModeSixHundred) {
  const Config c = sample_config();
  ASSERT_TRUE(write_config(path_, c).has_value());
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const auto bytes = read_bytes();
  EXPECT_EQ(bytes.size(), encode_config_json(c).size() + 48);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "PLC1");
  auto back = load_config_at(path_);
  ASSERT_TRUE(back.has_value()) << line_of(back.error());
  EXPECT_EQ(*back, c);
  EXPECT_FALSE(fs::exists(root_ / "pellucor" / ".config.tmp"));
}

TEST_F(ConfigFileTest, StaleTemporaryFileDoesNotBlockAWrite) {
  fs::create_directories(root_ / "pellucor");
  std::ofstream(root_ / "pellucor" / ".config.tmp") << "left by a crash";
  ASSERT_TRUE(write_config(path_, sample_config()).has_value());
  EXPECT_TRUE(load_config_at(path_).has_value());
  EXPECT_FALSE(fs::exists(root_ / "pellucor" / ".config.tmp"));

  // A link planted in its place is removed, not followed.
  const fs::path target = root_ / "target";
  std::ofstream(target) << "untouched";
  fs::create_symlink(target, root_ / "pellucor" / ".config.tmp");
  ASSERT_TRUE(write_config(path_, sample_config()).has_value());
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
}

TEST_F(ConfigFileTest, WriteRefusesASymlinkedParent) {
  fs::create_directories(root_ / "elsewhere");
  fs::create_symlink(root_ / "elsewhere", root_ / "pellucor");
  auto r = write_config(path_, sample_config());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(line_of(r.error()), "PL-2002: config parent " + (root_ / "pellucor").string() +
                                    " is a symlink \xe2\x80\x94 refuse to write through it");
  EXPECT_FALSE(fs::exists(root_ / "elsewhere" / "config"));
}

TEST_F(ConfigFileTest, MissingFileOrFolderGivesTheEnrolmentNotice) {
  const std::string notice =
      "PL-2003: Not initialized. Config file not found at " + path_ +
      ".\n  This agent needs enrollment first. Ask a vault admin for\n"
      "  an enrollment blob, then run: pellucor-cli init\n"
      "  (Do not attempt to fix this yourself \xe2\x80\x94 a human must provide the blob and key.)";
  EXPECT_EQ(load_error(), notice);  // no "pellucor" folder at all
  fs::create_directories(root_ / "pellucor");
  EXPECT_EQ(load_error(), notice);
}

TEST_F(ConfigFileTest, SymlinksOnTheWayAreRefused) {
  ASSERT_TRUE(write_config((root_ / "real" / "config").string(), sample_config()).has_value());
  fs::create_symlink(root_ / "real", root_ / "pellucor");
  EXPECT_EQ(load_error(), "PL-2003: config path component " + (root_ / "pellucor").string() +
                              " is a symlink \xe2\x80\x94 refuse to follow it");

  fs::remove(root_ / "pellucor");
  fs::create_directories(root_ / "pellucor");
  fs::create_symlink(root_ / "real" / "config", path_);
  EXPECT_EQ(load_error(), "PL-2003: config path component " + path_ +
                              " is a symlink \xe2\x80\x94 refuse to follow it");
}

TEST_F(ConfigFileTest, ModeWithGroupOrOtherBitsIsRefused) {
  ASSERT_TRUE(write_config(path_, sample_config()).has_value());
  const std::pair<mode_t, std::string> cases[] = {
      {0640, "PL-2003: config " + path_ + " has mode 0640 \xe2\x80\x94 must be 0600 (group/other access refused)"},
      {0604, "PL-2003: config " + path_ + " has mode 0604 \xe2\x80\x94 must be 0600 (group/other access refused)"},
      {0400, "(loaded)"},
      {0600, "(loaded)"},
  };
  for (const auto& [mode, expected] : cases) {
    ::chmod(path_.c_str(), mode);
    EXPECT_EQ(load_error(), expected) << std::oct << mode;
  }
}

TEST_F(ConfigFileTest, DamagedFilesAreRefusedBeforeDecryption) {
  ASSERT_TRUE(write_config(path_, sample_config()).has_value());
  const auto good = read_bytes();
  const std::string corrupt = "PL-2004: config decrypt failed: PL-0003: Could not decrypt. "
                              "The data may be corrupt or the wrong key was used.";

  write_bytes(std::vector<std::uint8_t>(good.begin(), good.begin() + 47));
  EXPECT_EQ(load_error(), "PL-2004: config decrypt failed: PL-0008: Config file is corrupt or truncated.");

  auto magic = good;
  magic[3] = '2';
  write_bytes(magic);
  EXPECT_EQ(load_error(), "PL-2004: config decrypt failed: PL-0009: Config file is not in Pellucor format.");

  for (std::size_t offset = 4; offset < good.size(); ++offset) {
    auto flipped = good;
    flipped[offset] ^= 0x01;
    write_bytes(flipped);
    ASSERT_EQ(load_error(), corrupt) << "offset " << offset;
  }
}

TEST_F(ConfigFileTest, ContentIsReadStrictly) {
  const std::string base =
      R"("vault_url":"https://v","vault_id":"01a2b3c4d5e6f708","agent_id":"a","l2":"b","device_id":"c")";
  write_bytes(seal_json("{" + base + "}"));
  auto minimal = load_config_at(path_);
  ASSERT_TRUE(minimal.has_value()) << line_of(minimal.error());
  EXPECT_EQ(minimal->replica_url, "");
  EXPECT_EQ(minimal->vault_gate_pub, "");

  const std::string refused[] = {
      "{" + base + R"(,"extra":"x"})",
      "{" + base + R"(,"l2":"again"})",
      R"({"vault_url":"https://v","vault_id":"01a2b3c4d5e6f708","agent_id":"a","l2":"b"})",
      "{" + base + R"(,"replica_url":5})",
      "{" + base + "} x",
      "{" + base,
  };
  for (const auto& json : refused) {
    write_bytes(seal_json(json));
    EXPECT_TRUE(load_error().starts_with("PL-2004: config JSON parse: ")) << json << " -> " << load_error();
  }
  write_bytes(seal_json("{" + base + R"(,"extra":"x"})"));
  EXPECT_NE(load_error().find("unknown field `extra`"), std::string::npos) << load_error();
}

TEST_F(ConfigFileTest, AWriteWaitsForAnotherWriterAndGivesUpAfterItsBound) {
  Config first = sample_config();
  Config second = sample_config();
  second.vault_gate_pub = std::string(2498, 'b');
  ASSERT_TRUE(write_config(path_, first).has_value());

  HeldLock other(lock_path());
  ConfigWriteOptions brief;
  brief.lock_wait = std::chrono::milliseconds(50);
  auto refused = write_config(path_, second, brief);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(line_of(refused.error()),
            "PL-2002: another pellucor-cli process is writing the configuration and still holds " + lock_path() +
                "; try again when it has finished");
  EXPECT_EQ(*load_config_at(path_), first);
  EXPECT_FALSE(fs::exists(root_ / "pellucor" / ".config.tmp"));

  // Released while the write waits: the write goes ahead.
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    other.release();
  });
  auto waited = write_config(path_, second);
  releaser.join();
  ASSERT_TRUE(waited.has_value()) << line_of(waited.error());
  EXPECT_EQ(*load_config_at(path_), second);
  EXPECT_TRUE(fs::is_regular_file(lock_path()));  // kept for the next writer
}

TEST_F(ConfigFileTest, TheCheckUnderTheLockRunsWhileNoOtherWriterCanAndCanStopTheWrite) {
  ConfigWriteOptions options;
  bool ran = false;
  options.under_lock = [&]() -> std::expected<void, CliError> {
    ran = true;
    const int fd = ::open(lock_path().c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the lock is not held";
    EXPECT_EQ(errno, EWOULDBLOCK);
    ::close(fd);
    return std::unexpected(make_error(err::PL_2002, "stop"));
  };
  auto r = write_config(path_, sample_config(), options);
  EXPECT_TRUE(ran);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(line_of(r.error()), "PL-2002: stop");
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_FALSE(fs::exists(root_ / "pellucor" / ".config.tmp"));
}

// On NFS an exclusive flock becomes a byte-range write lock, which only a
// descriptor open for writing may take: a read-only one fails every write
// there with EBADF.
TEST_F(ConfigFileTest, TheLockIsHeldThroughADescriptorOpenForWriting) {
  std::vector<int> modes;  // the access modes of the descriptors open on the lock file
  ConfigWriteOptions options;
  options.under_lock = [&]() -> std::expected<void, CliError> {
    const fs::path lock = fs::canonical(lock_path());
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (fs::read_symlink(entry.path(), ec) != lock || ec) continue;
      const int flags = ::fcntl(std::stoi(entry.path().filename().string()), F_GETFL);
      EXPECT_GE(flags, 0);
      modes.push_back(flags & O_ACCMODE);
    }
    return {};
  };
  ASSERT_TRUE(write_config(path_, sample_config(), options).has_value());
  EXPECT_EQ(modes, std::vector<int>{O_RDWR});
}

TEST_F(ConfigFileTest, TheLockMustBeAPlainFileOfItsOwn) {
  const fs::path target = root_ / "target";
  const std::string not_regular =
      "PL-2002: config lock " + lock_path() + " is not a regular file \xe2\x80\x94 refuse to use it";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { ASSERT_EQ(::mkfifo(lock_path().c_str(), 0600), 0); }, not_regular},
      {[&] { fs::create_directory(lock_path()); },
       "PL-2002: opening config lock " + lock_path() + ": Is a directory (os error 21)"},
      {[&] {
         std::ofstream(target) << "untouched";
         fs::create_symlink(target, lock_path());
       },
       "PL-2002: config lock " + lock_path() + " is a symlink \xe2\x80\x94 refuse to follow it"},
  };
  for (const auto& [plant, expected] : cases) {
    fs::remove_all(root_ / "pellucor");
    fs::create_directories(root_ / "pellucor");
    plant();
    auto r = write_config(path_, sample_config());
    ASSERT_FALSE(r.has_value()) << expected;
    EXPECT_EQ(line_of(r.error()), expected);
    EXPECT_FALSE(fs::exists(path_)) << expected;
  }
  std::ifstream in(target);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "untouched");
}

TEST_F(ConfigFileTest, OnlyARegularFileIsOpened) {
  const std::string refusal = "PL-2003: config " + path_ + " is not a regular file \xe2\x80\x94 refuse to read it";
  struct Case {
    const char* what;
    std::function<bool()> plant;  // false: cannot be made here
  } cases[] = {
      {"fifo", [&] { return ::mkfifo(path_.c_str(), 0600) == 0; }},
      {"folder", [&] { return ::mkdir(path_.c_str(), 0700) == 0; }},
      // An endless source, like /dev/zero, made where device nodes may be.
      {"device", [&] { return ::mknod(path_.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0; }},
  };
  for (const Case& c : cases) {
    fs::remove_all(root_ / "pellucor");
    fs::create_directories(root_ / "pellucor");
    if (!c.plant()) {
      std::cout << "[ note ] no " << c.what << " can be made here: " << std::strerror(errno) << "\n";
      continue;
    }
    auto loading = std::async(std::launch::async, [&] { return load_error(); });
    if (loading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << c.what << ": the load hangs";
      // A writer lets a load stuck opening the FIFO go on, so the test can end.
      const int unblock = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (unblock >= 0) ::close(unblock);
      loading.wait();
      continue;
    }
    EXPECT_EQ(loading.get(), refusal) << c.what;
  }
}

TEST_F(ConfigFileTest, AnOversizeFileIsRefusedWithoutReadingIt) {
  ASSERT_TRUE(write_config(path_, sample_config()).has_value());
  const std::string too_large =
      "PL-2003: config " + path_ + " is larger than 65536 bytes \xe2\x80\x94 refuse to read it";
  const std::pair<std::uintmax_t, std::string> cases[] = {
      // At the cap the file is read: the zeros added at its end fail the MAC.
      {kConfigMaxBytes, "PL-2004: config decrypt failed: PL-0003: Could not decrypt. "
                        "The data may be corrupt or the wrong key was used."},
      {kConfigMaxBytes + 1, too_large},
      {std::uintmax_t{3} << 30, too_large},  // sparse: takes no room on disk
  };
  for (const auto& [size, expected] : cases) {
    fs::resize_file(path_, size);
    EXPECT_EQ(load_error(), expected) << size;
  }
}

TEST_F(ConfigFileTest, AWriteNoReadWouldAcceptIsRefused) {
  ASSERT_TRUE(write_config(path_, sample_config()).has_value());
  const auto before = read_bytes();
  Config huge = sample_config();
  huge.vault_url = "https://" + std::string(kConfigMaxBytes, 'v');
  auto r = write_config(path_, huge);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(line_of(r.error()), "PL-2002: config would be " +
                                    std::to_string(encode_config_json(huge).size() + kConfigMinBytes) +
                                    " bytes, more than the 65536 a read accepts");
  EXPECT_EQ(read_bytes(), before);
}

// Every folder the write makes is private, the missing ancestors of the
// configuration folder too; one that exists keeps its mode.
TEST_F(ConfigFileTest, TheConfigurationFolderIsPrivateWhateverTheUmask) {
  const fs::path existing = root_ / "existing";
  fs::create_directory(existing);
  ::chmod(existing.c_str(), 0755);
  for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{027}}) {
    fs::remove_all(existing / "up");
    const fs::path folder = existing / "up" / "down" / "pellucor";
    {
      ScopedUmask scoped(mask);
      ASSERT_TRUE(write_config((folder / "config").string(), sample_config()).has_value());
    }
    for (const fs::path& made : {folder, existing / "up" / "down", existing / "up"}) {
      EXPECT_EQ(mode_of(made), 0700u) << made << " under umask " << std::oct << mask;
    }
    EXPECT_EQ(mode_of(existing), 0755u) << std::oct << mask;
    EXPECT_EQ(mode_of(folder / "config"), 0600u) << std::oct << mask;
    EXPECT_EQ(mode_of(folder / ".config.lock"), 0600u) << std::oct << mask;
  }
}

// A path the system would refuse, for the configuration or for its lock file
// beside it, is refused before any folder is made; so is one whose text is
// too long only through "." components, which the folder itself drops.
TEST_F(ConfigFileTest, APathBeyondTheSystemLimitIsRefusedBeforeAnyFolderIsMade) {
  const std::size_t limit = static_cast<std::size_t>(::pathconf("/", _PC_PATH_MAX)) - 1;
  std::string deep = root_.string();
  while (deep.size() < 6000) deep += "/a";
  std::string dotted = root_.string() + "/made";
  while (dotted.size() < 6000) dotted += "/.";
  // Fits, but its lock file (six bytes longer) does not.
  std::string edge = root_.string();
  while (edge.size() + 201 < limit - 3) edge += "/" + std::string(200, 'e');
  edge += "/" + std::string(limit - 3 - edge.size() - 1, 'e');
  struct Case {
    std::string path;
    std::size_t room;  // what the message allows for it
  } cases[] = {
      {deep + "/config", limit - 6},
      {dotted + "/config", limit},
      {edge + "/cf", limit - 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.size());
    auto r = write_config(c.path, sample_config());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(line_of(r.error()), "PL-2002: config path is " + std::to_string(c.path.size()) +
                                      " bytes, more than the " + std::to_string(c.room) +
                                      " the system allows for it");
    EXPECT_TRUE(fs::is_empty(root_));
  }
}

}  // namespace
}  // namespace pellucor
