// Backtraces through GCC's libbacktrace (linked statically), names demangled with the C++ ABI.
#include "runtime/backtrace.hpp"

#include <backtrace.h>
#include <cxxabi.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace quillometer::runtime {
namespace {

struct FrameInfo {
  std::uintptr_t pc = 0;
  std::string function;
  std::string file;
  int line = 0;
};

void ignore_error(void*, const char*, int) {}

backtrace_state* state() {
  static backtrace_state* const shared = backtrace_create_state(nullptr, 1, ignore_error, nullptr);
  return shared;
}

std::string demangle(const char* name) {
  if (name == nullptr) return {};
  int status = 0;
  char* plain = abi::__cxa_demangle(name, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) return name;
  std::string result(plain);
  std::free(plain);
  return result;
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

const void* image_of(std::uintptr_t pc) {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(pc), &info) == 0) return nullptr;
  return info.dli_fbase;
}

bool is_machinery(const FrameInfo& frame) {
  return std::string_view(frame.function).starts_with("quillometer::runtime::");
}

void write_text(const std::string& text) {
  const char* data = text.data();
  std::size_t size = text.size();
  while (size > 0) {
    ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void write_backtrace(bool full) noexcept {
  try {
    std::vector<FrameInfo> frames;
    if (state() != nullptr) backtrace_full(state(), 0, take_frame, ignore_error, &frames);

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
    write_text(out);
  } catch (...) {
    // Out of memory while describing the stack: the report itself has been written already.
  }
}

}  // namespace quillometer::runtime
