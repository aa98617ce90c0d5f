// Unbuffered writes to standard error for the fatal-error report and its backtrace.
#pragma once

#include <cstddef>

namespace quillometer::runtime {

// Writes all of [data, data + size) to file descriptor 2, retrying after EINTR and partial
// writes; gives up silently on any other error (there is nowhere left to report it).
void write_stderr(const char* data, std::size_t size) noexcept;

}  // namespace quillometer::runtime
