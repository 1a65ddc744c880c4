// Build-time tool: turns the distribution's bundle of public root certificates
// (one PEM file per root) into the C++ table of built-in roots.
//
//   builtin_roots_gen OUT.cpp LIST.txt
//
// LIST.txt names one PEM file per line; the table keeps that order. The DER
// bytes are taken exactly as the files hold them (no re-encoding).
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

bool read_der(const std::string& path, std::vector<unsigned char>& der) {
  BIO* bio = BIO_new_file(path.c_str(), "r");
  if (bio == nullptr) return false;
  bool found = false;
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long len = 0;
    if (PEM_read_bio(bio, &name, &header, &data, &len) != 1) break;
    if (!found && std::string(name) == "CERTIFICATE") {
      der.assign(data, data + len);
      found = true;
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
  }
  BIO_free(bio);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: builtin_roots_gen OUT.cpp LIST.txt\n";
    return 2;
  }
  std::ifstream list(argv[2]);
  std::vector<std::vector<unsigned char>> roots;
  for (std::string line; std::getline(list, line);) {
    if (line.empty()) continue;
    std::vector<unsigned char> der;
    if (!read_der(line, der)) {
      std::cerr << "builtin_roots_gen: no certificate in " << line << "\n";
      return 1;
    }
    roots.push_back(std::move(der));
  }
  if (roots.empty()) {
    std::cerr << "builtin_roots_gen: no root certificates listed\n";
    return 1;
  }
  std::string out;
  out += "// Generated at build time from the distribution's root bundle. Do not edit.\n";
  out += "#include \"gate/trust_store.h\"\n\nnamespace pellucor {\nnamespace {\n";
  out += "constexpr std::uint8_t kDer[] = {";
  std::size_t total = 0;
  char buf[8];
  for (const auto& r : roots) {
    for (std::size_t i = 0; i < r.size(); ++i) {
      if ((total + i) % 20 == 0) out += "\n ";
      std::snprintf(buf, sizeof buf, "%u,", static_cast<unsigned>(r[i]));
      out += buf;
    }
    total += r.size();
  }
  out += "\n};\nconstexpr std::span<const std::uint8_t> kTable[] = {\n";
  std::size_t offset = 0;
  for (const auto& r : roots) {
    out += "  {kDer + " + std::to_string(offset) + ", " + std::to_string(r.size()) + "},\n";
    offset += r.size();
  }
  out += "};\n}  // namespace\n\n";
  out += "std::span<const std::span<const std::uint8_t>> builtin_root_table() { return kTable; }\n\n";
  out += "}  // namespace pellucor\n";
  std::ofstream f(argv[1], std::ios::binary | std::ios::trunc);
  f << out;
  return f.good() ? 0 : 1;
}
