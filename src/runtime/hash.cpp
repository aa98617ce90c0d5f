// The process-wide hash key.
#include "runtime/hash.hpp"

#if defined(__GLIBC__) && !__GLIBC_PREREQ(2, 25)
#include <sys/syscall.h>
#include <unistd.h>

// The wheels target glibc 2.17, which has no getrandom(3) wrapper: ask the kernel directly.
#define QUILLOMETER_GETRANDOM(buffer, size) ::syscall(SYS_getrandom, buffer, size, 0)
#else
#include <sys/random.h>
#define QUILLOMETER_GETRANDOM(buffer, size) ::getrandom(buffer, size, 0)
#endif

#include <cerrno>
#include <chrono>

namespace quillometer::runtime {

const HashKey& process_hash_key() noexcept {
  static const HashKey key = [] {
    HashKey drawn{};
    auto* bytes = reinterpret_cast<unsigned char*>(&drawn);
    std::size_t filled = 0;
    while (filled < sizeof drawn) {
      ssize_t got = QUILLOMETER_GETRANDOM(bytes + filled, sizeof drawn - filled);
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    if (filled < sizeof drawn) {
      // No random source: the key only scatters the table, so the clock is an adequate stand-in.
      auto now =
          static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      drawn.k0 ^= now * detail::kOdd0;
      drawn.k1 ^= (now >> 7) * detail::kOdd1;
    }
    return drawn;
  }();
  return key;
}

}  // namespace quillometer::runtime
