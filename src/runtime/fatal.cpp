// The fatal-error report on standard error, with an optional backtrace selected once per process
// by QUILLOMETER_BACKTRACE.
#include "runtime/fatal.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "runtime/backtrace.hpp"
#include "runtime/stderr.hpp"

namespace quillometer::runtime {
namespace {

enum class BacktraceMode { off, short_form, full };

BacktraceMode backtrace_mode() noexcept {
  // Read once per process; the first reader wins, every later report sees the same answer.
  static const BacktraceMode mode = [] {
    const char* value = std::getenv("QUILLOMETER_BACKTRACE");
    if (value == nullptr || std::strcmp(value, "0") == 0) return BacktraceMode::off;
    if (std::strcmp(value, "full") == 0) return BacktraceMode::full;
    return BacktraceMode::short_form;
  }();
  return mode;
}

std::atomic<bool> first_report{true};

// Collects the report in a fixed buffer so that a short report leaves in a single write and
// reports from different threads do not interleave; a longer one is flushed in pieces.
class ReportBuffer {
 public:
  void append(std::string_view text) noexcept {
    while (!text.empty()) {
      if (used_ == sizeof(buffer_)) flush();
      std::size_t n = std::min(text.size(), sizeof(buffer_) - used_);
      std::memcpy(buffer_ + used_, text.data(), n);
      used_ += n;
      text.remove_prefix(n);
    }
  }
  void append_number(unsigned long value) noexcept {
    char digits[24];
    int n = std::snprintf(digits, sizeof(digits), "%lu", value);
    append(std::string_view(digits, static_cast<std::size_t>(n)));
  }
  void flush() noexcept {
    write_stderr(buffer_, used_);
    used_ = 0;
  }

 private:
  char buffer_[512];
  std::size_t used_ = 0;
};

}  // namespace

void write_report(std::string_view message, const std::source_location& where) noexcept {
  ReportBuffer out;
  out.append("\nthread '<unnamed>' panicked at ");
  out.append(where.file_name());
  out.append(":");
  out.append_number(where.line());
  out.append(":");
  out.append_number(where.column());
  out.append(":\n");
  out.append(message);
  out.append("\n");
  out.flush();

  switch (backtrace_mode()) {
    case BacktraceMode::off:
      if (first_report.exchange(false)) {
        static constexpr std::string_view note =
            "note: run with `QUILLOMETER_BACKTRACE=1` environment variable to display a "
            "backtrace\n";
        write_stderr(note.data(), note.size());
      }
      break;
    case BacktraceMode::short_form:
      write_backtrace(/*full=*/false);
      break;
    case BacktraceMode::full:
      write_backtrace(/*full=*/true);
      break;
  }
}

void raise_fatal(std::string message, std::source_location where) {
  write_report(message, where);
  throw FatalError(std::move(message), where);
}

void resume_fatal(std::string message, std::source_location where) {
  throw FatalError(std::move(message), where);
}

void abort_uncaught(std::source_location where) noexcept {
  write_report("uncaught panic at ffi boundary", where);
  write_report("panic in a function that cannot unwind", where);
  static constexpr std::string_view line = "thread caused non-unwinding panic. aborting.\n";
  write_stderr(line.data(), line.size());
  std::abort();
}

}  // namespace quillometer::runtime
