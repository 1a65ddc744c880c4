// The built program's ELF image: linked with full RELRO, so every symbol is
// bound at start-up. With lazy binding the dynamic linker's trampoline runs at
// the first call of each library function (the first write of a secret among
// them) and saves the vector registers on the stack, where a copy of the
// secret then outlives the call.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace pellucor::test {
namespace {

struct LinkFlags {
  bool relro_segment = false;  // a PT_GNU_RELRO program header
  bool bind_now = false;       // DT_BIND_NOW, DF_BIND_NOW in DT_FLAGS or DF_1_NOW in DT_FLAGS_1
};

template <typename T>
bool read_at(const std::string& image, std::size_t offset, T& out) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) return false;
  std::memcpy(&out, image.data() + offset, sizeof(T));
  return true;
}

// Reads the program headers and the dynamic section of a 64-bit ELF file.
::testing::AssertionResult link_flags(const std::string& image, LinkFlags& flags) {
  Elf64_Ehdr header{};
  if (!read_at(image, 0, header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS64) {
    return ::testing::AssertionFailure() << "not a 64-bit ELF file";
  }
  bool dynamic_seen = false;
  for (std::size_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr ph{};
    if (!read_at(image, header.e_phoff + i * header.e_phentsize, ph)) {
      return ::testing::AssertionFailure() << "program header " << i << " out of the file";
    }
    if (ph.p_type == PT_GNU_RELRO) flags.relro_segment = true;
    if (ph.p_type != PT_DYNAMIC) continue;
    dynamic_seen = true;
    for (std::size_t at = ph.p_offset; at + sizeof(Elf64_Dyn) <= ph.p_offset + ph.p_filesz;
         at += sizeof(Elf64_Dyn)) {
      Elf64_Dyn d{};
      if (!read_at(image, at, d)) return ::testing::AssertionFailure() << "dynamic section out of the file";
      if (d.d_tag == DT_NULL) break;
      if (d.d_tag == DT_BIND_NOW) flags.bind_now = true;
      if (d.d_tag == DT_FLAGS && (d.d_un.d_val & DF_BIND_NOW) != 0) flags.bind_now = true;
      if (d.d_tag == DT_FLAGS_1 && (d.d_un.d_val & DF_1_NOW) != 0) flags.bind_now = true;
    }
  }
  if (!dynamic_seen) return ::testing::AssertionFailure() << "no dynamic section";
  return ::testing::AssertionSuccess();
}

TEST(ProgramImage, IsLinkedWithFullRelro) {
  std::ifstream in(PELLUCOR_CLI_PATH, std::ios::binary);
  ASSERT_TRUE(in) << PELLUCOR_CLI_PATH;
  const std::string image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  LinkFlags flags;
  ASSERT_TRUE(link_flags(image, flags));
  EXPECT_TRUE(flags.relro_segment) << "no PT_GNU_RELRO segment";
  EXPECT_TRUE(flags.bind_now) << "symbols are bound lazily";
}

}  // namespace
}  // namespace pellucor::test
