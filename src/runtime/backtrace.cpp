// Backtraces for the fatal-error report. Where CMake found GCC's libbacktrace (linked statically)
// every frame gets its function, file and line from the module's debug information. Elsewhere the
// frames come from the unwinder, named where a dynamic symbol table names them, and the report
// says once that it is reduced.
#include "runtime/backtrace.hpp"

#if QUILLOMETER_HAVE_LIBBACKTRACE
#include <backtrace.h>
#else
#include <unwind.h>
#endif
#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/fatal.hpp"
#include "runtime/stderr.hpp"

namespace quillometer::runtime {
namespace {

struct FrameInfo {
  std::uintptr_t pc = 0;
  std::uintptr_t function_start = 0;  // only known without libbacktrace
  std::string function;
  std::string file;
  int line = 0;
};

std::string demangle(const char* name) {
  if (name == nullptr) return {};
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string result(plain);
  std::free(plain);
  return result;
}

const void* image_of(std::uintptr_t pc) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(pc), &info) == 0) return nullptr;
  return info.dli_fbase;
}

#if QUILLOMETER_HAVE_LIBBACKTRACE

constexpr bool kReduced = false;

void ignore_error(void*, const char*, int) {}

backtrace_state* state() {
  static backtrace_state* const shared = backtrace_create_state(nullptr, 1, ignore_error, nullptr);
  return shared;
}

void take_symbol(void* data, std::uintptr_t, const char* name, std::uintptr_t, std::uintptr_t) {
  if (name != nullptr) static_cast<FrameInfo*>(data)->function = demangle(name);
}

int take_frame(void* data, std::uintptr_t pc, const char* file, int line, const char* function) {
  auto& frames = *static_cast<std::vector<FrameInfo>*>(data);
  if (pc == static_cast<std::uintptr_t>(-1)) return 0;
  FrameInfo frame;
  frame.pc = pc;
  if (function != nullptr) {
    frame.function = demangle(function);
  } else {
    backtrace_syminfo(state(), pc, take_symbol, ignore_error, &frame);
  }
  if (file != nullptr) frame.file = file;
  frame.line = line;
  frames.push_back(std::move(frame));
  return 0;
}

bool is_machinery(const FrameInfo& frame) {
  return std::string_view(frame.function).starts_with("quillometer::runtime::");
}

#else

constexpr bool kReduced = true;

_Unwind_Reason_Code take_pc(_Unwind_Context* context, void* data) {
  auto& frames = *static_cast<std::vector<FrameInfo>*>(data);
  FrameInfo frame;
  frame.pc = _Unwind_GetIP(context);
  if (frame.pc == 0) return _URC_END_OF_STACK;
  frame.function_start = reinterpret_cast<std::uintptr_t>(
      _Unwind_FindEnclosingFunction(reinterpret_cast<void*>(frame.pc - 1)));
  frames.push_back(std::move(frame));
  return _URC_NO_REASON;
}

[[gnu::noinline]] void collect_frames(std::vector<FrameInfo>& frames) {
  _Unwind_Backtrace(take_pc, &frames);
  for (FrameInfo& frame : frames) {
    // A return address may lie just past its function's end, so look up the call itself.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(frame.pc - 1), &info) == 0) continue;
    if (info.dli_sname != nullptr) frame.function = demangle(info.dli_sname);
    if (info.dli_fname != nullptr) {
      std::string_view path(info.dli_fname);
      std::size_t slash = path.rfind('/');
      char offset[32];
      std::snprintf(
          offset, sizeof offset, "+0x%jx",
          static_cast<std::uintmax_t>(frame.pc - reinterpret_cast<std::uintptr_t>(info.dli_fbase)));
      frame.function += frame.function.empty() ? "<unknown> (" : " (";
      frame.function += slash == std::string_view::npos ? path : path.substr(slash + 1);
      frame.function += offset;
      frame.function += ')';
    }
  }
}

// Without symbols for the module's own functions the machinery is known by the unwinder's record
// of where each frame's function starts.
bool is_machinery(const FrameInfo& frame) {
  static const std::uintptr_t machinery[] = {
      reinterpret_cast<std::uintptr_t>(&_Unwind_Backtrace),
      reinterpret_cast<std::uintptr_t>(&collect_frames),
      reinterpret_cast<std::uintptr_t>(&write_backtrace),
      reinterpret_cast<std::uintptr_t>(&write_report),
      reinterpret_cast<std::uintptr_t>(&raise_fatal),
      reinterpret_cast<std::uintptr_t>(&abort_uncaught),
  };
  for (std::uintptr_t start : machinery) {
    if (frame.function_start == start) return true;
  }
  return false;
}

#endif

}  // namespace

void write_backtrace(bool full) noexcept {
  try {
    std::vector<FrameInfo> frames;
#if QUILLOMETER_HAVE_LIBBACKTRACE
    if (state() != nullptr) backtrace_full(state(), 0, take_frame, ignore_error, &frames);
#else
    collect_frames(frames);
#endif

    std::size_t begin = 0;
    std::size_t end = frames.size();
    if (!full) {
      // Keep the frames from the raise point outwards, up to the last one in this module.
      while (begin < end && is_machinery(frames[begin])) ++begin;
      const void* own_image = image_of(reinterpret_cast<std::uintptr_t>(&write_backtrace));
      std::size_t last_own = begin;
      for (std::size_t i = begin; i < end; ++i) {
        if (image_of(frames[i].pc) == own_image) last_own = i + 1;
      }
      end = last_own;
    }

    std::string out = "stack backtrace:\n";
    if (kReduced) {
      out +=
          "note: reduced backtrace: this build has no symbolizer, so there are no source lines "
          "and only exported functions are named\n";
    }
    for (std::size_t i = begin; i < end; ++i) {
      const FrameInfo& frame = frames[i];
      std::string index = std::to_string(i - begin);
      out.append(index.size() < 4 ? 4 - index.size() : 0, ' ');
      out += index;
      out += ": ";
      out += frame.function.empty() ? "<unknown>" : frame.function;
      out += '\n';
      if (!frame.file.empty()) {
        out += "             at ";
        out += frame.file;
        out += ':';
        out += std::to_string(frame.line);
        out += '\n';
      }
    }
    if (!full) {
      out +=
          "note: Some details are omitted, run with `QUILLOMETER_BACKTRACE=full` for a verbose "
          "backtrace.\n";
    }
    write_stderr(out.data(), out.size());
  } catch (...) {
    // Out of memory while describing the stack: the report itself has been written already.
  }
}

}  // namespace quillometer::runtime
