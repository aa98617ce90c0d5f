// A keyed 64-bit hash of byte strings, seeded once per process from the operating system.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace quillometer::runtime {

struct HashKey {
  std::uint64_t k0;
  std::uint64_t k1;
};

// The process-wide key, drawn from getrandom(2) on first use.
const HashKey& process_hash_key() noexcept;

namespace detail {

inline std::uint64_t load64(const char* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline std::uint64_t load32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Folds the 128-bit product of a and b into 64 bits: the mixing step of the hash.
__extension__ using u128 = unsigned __int128;

inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
  u128 product = static_cast<u128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline constexpr std::uint64_t kOdd0 = 0xa0761d6478bd642full;
inline constexpr std::uint64_t kOdd1 = 0xe7037ed1a0b428dbull;

}  // namespace detail

// Column names are short, so the tail cases are the hot ones: up to 16 bytes take two loads.
inline std::uint64_t hash_bytes(std::string_view text, const HashKey& key) noexcept {
  using namespace detail;
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t state = key.k0 ^ fold_multiply(n ^ kOdd0, key.k1 ^ kOdd1);
  while (n > 16) {
    state = fold_multiply(load64(p) ^ key.k1, load64(p + 8) ^ state);
    p += 16;
    n -= 16;
  }
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    a = (static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) << 16) |
        (static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8) |
        static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1]));
  }
  return fold_multiply(a ^ key.k1 ^ kOdd0, b ^ state ^ kOdd1);
}

// Hash functor for heterogeneous lookup of owned strings by string_view.
struct SeededHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return hash_bytes(text, process_hash_key());
  }
};

}  // namespace quillometer::runtime
