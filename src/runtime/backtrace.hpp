// Backtraces for the fatal-error report: function, file and line where the build has a symbolizer
// (GCC's libbacktrace), otherwise what the unwinder and the dynamic symbol tables give.
#pragma once

namespace quillometer::runtime {

// Writes "stack backtrace:" and one numbered line per frame to standard error. The short form
// leaves out the frames of the fatal-error machinery and everything past the module's own code.
void write_backtrace(bool full) noexcept;

}  // namespace quillometer::runtime
