// Wiping containers for key material, shared secrets and plaintexts.
//
// Every buffer that holds a secret is one of these: the bytes are overwritten
// through OPENSSL_cleanse (which the optimiser cannot drop) before the memory
// is released, on every path out, including reallocation.
#pragma once

#include <openssl/crypto.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pellucor {

template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    OPENSSL_cleanse(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  template <typename U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

// SecureBytes: a growable byte buffer wiped when freed.
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// SecureString: text (plaintext of a secret field, a typed key) wiped when freed.
// Small texts live inside the object itself, so the destructor wipes that too.
class SecureString : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
 public:
  using Base = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;
  using Base::Base;
  SecureString(const Base& b) : Base(b) {}
  SecureString(Base&& b) noexcept : Base(std::move(b)) {}
  ~SecureString() { wipe(); }
  void wipe() noexcept {
    if (!empty()) OPENSSL_cleanse(data(), size());
    OPENSSL_cleanse(data(), capacity());
  }
  std::string_view view() const noexcept { return {data(), size()}; }
};

// SecureArray<N>: a fixed-size key wiped on destruction.
template <std::size_t N>
class SecureArray {
 public:
  SecureArray() noexcept { bytes_.fill(0); }
  explicit SecureArray(std::span<const std::uint8_t, N> from) noexcept {
    std::copy(from.begin(), from.end(), bytes_.begin());
  }
  SecureArray(const SecureArray&) = default;
  SecureArray& operator=(const SecureArray&) = default;
  ~SecureArray() { wipe(); }
  void wipe() noexcept { OPENSSL_cleanse(bytes_.data(), N); }
  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  static constexpr std::size_t size() noexcept { return N; }
  std::uint8_t& operator[](std::size_t i) noexcept { return bytes_[i]; }
  const std::uint8_t& operator[](std::size_t i) const noexcept { return bytes_[i]; }
  std::span<std::uint8_t, N> span() noexcept { return bytes_; }
  std::span<const std::uint8_t, N> span() const noexcept { return bytes_; }
  auto begin() noexcept { return bytes_.begin(); }
  auto end() noexcept { return bytes_.end(); }
  auto begin() const noexcept { return bytes_.begin(); }
  auto end() const noexcept { return bytes_.end(); }

 private:
  std::array<std::uint8_t, N> bytes_;
};

// Wipes a plain buffer that held a secret before it goes out of scope.
inline void wipe_bytes(void* p, std::size_t n) noexcept {
  if (p != nullptr && n != 0) OPENSSL_cleanse(p, n);
}

}  // namespace pellucor
