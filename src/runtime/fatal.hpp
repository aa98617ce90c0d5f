// The internal fatal error: a C++ exception carrying its message and the place it was raised,
// reported on standard error at the raise point and turned into a Python exception at an entry.
#pragma once

#include <source_location>
#include <string>

namespace quillometer::runtime {

// Deliberately not derived from std::exception: only the entry guard may catch it.
class FatalError final {
 public:
  FatalError(std::string message, std::source_location where) noexcept
      : message_(std::move(message)), where_(where) {}

  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the report (header, message, optional backtrace) and throws FatalError.
[[noreturn]] void raise_fatal(std::string message,
                              std::source_location where = std::source_location::current());

// Throws FatalError without writing a report: a fatal error that crossed into Python and came
// back has been reported already.
[[noreturn]] void resume_fatal(std::string message,
                               std::source_location where = std::source_location::current());

// Writes a report for a fatal error that is not raised (used by the abort path).
void write_report(std::string_view message, const std::source_location& where) noexcept;

// An unwinding reached a function that must not unwind: report it and abort the process.
[[noreturn]] void abort_uncaught(
    std::source_location where = std::source_location::current()) noexcept;

}  // namespace quillometer::runtime
