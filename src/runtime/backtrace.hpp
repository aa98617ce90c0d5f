// Backtraces for the fatal-error report, symbolised from the module's own debug and symbol tables.
#pragma once

namespace quillometer::runtime {

// Writes "stack backtrace:" and one numbered line per frame to standard error. The short form
// leaves out the frames of the fatal-error machinery and everything past the module's own code.
void write_backtrace(bool full) noexcept;

}  // namespace quillometer::runtime
