#include "runtime/stderr.hpp"

#include <unistd.h>

#include <cerrno>

namespace quillometer::runtime {

void write_stderr(const char* data, std::size_t size) noexcept {
  while (size > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (written == 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace quillometer::runtime
