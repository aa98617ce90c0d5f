// Helpers shared by the engine tests: frames and rows by name on the module's own path (names
// hashed by a stand-in for the interpreter's str hash), exact double comparison, column
// snapshots, fatal-error capture and the test binary's controllable global allocator.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/column_state.hpp"
#include "engine/frame.hpp"
#include "engine/queries.hpp"
#include "runtime/fatal.hpp"
#include "runtime/small_vector.hpp"

namespace quillometer::engine::test_support {

using Names = std::vector<std::string>;

// A hash of a name's bytes, standing in for the interpreter's str hash (FNV-1a, then a final
// mix so that the low bits, which pick a slot, depend on every byte).
inline std::uint64_t name_hash(std::string_view name) {
  std::uint64_t h = 0xcbf29ce484222325u;
  for (const char ch : name) h = (h ^ static_cast<unsigned char>(ch)) * 0x100000001b3u;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdu;
  return h ^ (h >> 33);
}

inline ColumnKey key(std::string_view name) {
  return {name, name_hash(name)};
}

inline Frame make_frame(const Names& names, std::uint64_t window_size, double alpha,
                        std::int64_t time_window) {
  std::vector<HashedName> hashed;
  hashed.reserve(names.size());
  for (const std::string& name : names) hashed.push_back({name, name_hash(name)});
  return Frame(hashed, window_size, alpha, time_window);
}

inline ColumnState* find(Frame& frame, std::string_view name) {
  return frame.find_column(key(name));
}
inline const ColumnState* find(const Frame& frame, std::string_view name) {
  return frame.find_column(key(name));
}

// One entry of a row given by name.
struct Entry {
  std::string_view name;
  double value;
};

// Appends a row as the module does: names are looked up in order, the first that is not a
// column refuses the row (with the columns found before it); otherwise the row is applied. The
// module gives each column at most once; so must the tests.
inline void append_row(Frame& frame, std::span<const Entry> row, std::int64_t ts) {
  runtime::SmallVector<Update, 64> updates;  // inline, as the module's: rows allocate nothing
  updates.reserve(row.size());
  for (const Entry& entry : row) {
    ColumnState* c = find(frame, entry.name);
    if (c == nullptr) frame.refuse(updates.span(), entry.name);
    updates.push_back_reserved({c, entry.value});
  }
  frame.apply(updates.span(), ts);
}

inline void append_one(Frame& frame, std::string_view name, double x, std::int64_t ts) {
  const Entry row[] = {{name, x}};
  append_row(frame, row, ts);
}

inline std::uint64_t bits(double x) {
  return std::bit_cast<std::uint64_t>(x);
}

// Equal bits, or both NaN: the payload of a NaN depends on operand order, which the compiler
// may swap in a commutative addition.
inline bool same_double(double a, double b) {
  return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b));
}

// Every field of a column, doubles as bits (so -0.0 and 0.0 differ), windows front to back.
struct ColumnSnapshot {
  std::vector<std::uint64_t> window_values;
  std::uint64_t window_size = 0;
  std::uint64_t window_sum = 0;
  std::uint64_t window_sum_sq = 0;
  std::vector<std::pair<std::uint64_t, std::int64_t>> time_values;
  std::int64_t time_window = 0;
  std::uint64_t time_sum = 0;
  std::uint64_t time_sum_sq = 0;
  std::uint64_t ewma = 0;
  std::uint64_t alpha = 0;
  bool ewma_initialized = false;
  std::uint64_t last = 0;
  std::uint64_t count = 0;
  std::uint64_t mean = 0;
  std::uint64_t m2 = 0;

  bool operator==(const ColumnSnapshot&) const = default;

  friend void PrintTo(const ColumnSnapshot& s, std::ostream* os) {
    auto d = [](std::uint64_t b) { return std::bit_cast<double>(b); };
    *os << "{window [";
    for (std::uint64_t v : s.window_values) *os << ' ' << d(v);
    *os << " ] size " << s.window_size << " sum " << d(s.window_sum) << " sum_sq "
        << d(s.window_sum_sq) << "; time [";
    for (const auto& [v, ts] : s.time_values) *os << ' ' << d(v) << '@' << ts;
    *os << " ] width " << s.time_window << " sum " << d(s.time_sum) << " sum_sq "
        << d(s.time_sum_sq) << "; ewma " << d(s.ewma) << " alpha " << d(s.alpha) << " init "
        << s.ewma_initialized << "; last " << d(s.last) << " count " << s.count << " mean "
        << d(s.mean) << " m2 " << d(s.m2) << '}';
  }
};

inline ColumnSnapshot snapshot(const ColumnState& c) {
  ColumnSnapshot s;
  for (std::size_t i = 0; i < c.window_values.size(); ++i) {
    s.window_values.push_back(bits(c.window_values[i]));
  }
  s.window_size = c.window_size;
  s.window_sum = bits(c.window_sum);
  s.window_sum_sq = bits(c.window_sum_sq);
  for (std::size_t i = 0; i < c.time_values.size(); ++i) {
    s.time_values.emplace_back(bits(c.time_values[i].value), c.time_values[i].ts);
  }
  s.time_window = c.time_window;
  s.time_sum = bits(c.time_sum);
  s.time_sum_sq = bits(c.time_sum_sq);
  s.ewma = bits(c.ewma);
  s.alpha = bits(c.alpha);
  s.ewma_initialized = c.ewma_initialized;
  s.last = bits(c.last);
  s.count = c.count;
  s.mean = bits(c.mean);
  s.m2 = bits(c.m2);
  return s;
}

// The values of a ring, front to back.
template <class T, bool PowerOfTwo>
std::vector<T> contents(const Ring<T, PowerOfTwo>& ring) {
  std::vector<T> out;
  for (std::size_t i = 0; i < ring.size(); ++i) out.push_back(ring[i]);
  return out;
}

inline std::vector<double> window_of(const ColumnState& c) {
  return contents(c.window_values);
}

inline std::vector<std::int64_t> timestamps_of(const ColumnState& c) {
  std::vector<std::int64_t> out;
  for (const TimedValue& e : contents(c.time_values)) out.push_back(e.ts);
  return out;
}

// Runs `f` and returns the message of the FatalError it raised, or nothing if it raised none.
inline std::optional<std::string> fatal_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const runtime::FatalError& e) {
    return e.message();
  }
  return std::nullopt;
}

// The frame's column, which the test knows to exist.
inline ColumnState& column(Frame& frame, std::string_view name) {
  ColumnState* c = find(frame, name);
  if (c == nullptr) throw std::logic_error("test expects column " + std::string(name));
  return *c;
}

// The test binary replaces malloc and free (ring_test.cpp) to count allocations and make them
// fail on demand; not under AddressSanitizer, which owns them there.
#if defined(__SANITIZE_ADDRESS__)
#define QUILLOMETER_ALLOCATION_CONTROL 0
#else
#define QUILLOMETER_ALLOCATION_CONTROL 1
#endif

// Skips the current test when allocations cannot be counted or failed.
#define REQUIRE_ALLOCATION_CONTROL()                                           \
  do {                                                                         \
    if (!QUILLOMETER_ALLOCATION_CONTROL) GTEST_SKIP() << "malloc is not ours"; \
  } while (0)

struct AllocationCounters {
  std::size_t largest_request = 0;  // the largest size asked of malloc, failed requests too
  std::size_t allocations = 0;      // successful mallocs since the program started
  std::size_t live = 0;             // of those, not yet freed
  bool failing = false;             // while set, only `successes_left` more mallocs succeed
  std::size_t successes_left = 0;
};

inline AllocationCounters allocation_counters;

// While alive, malloc (and so operator new) lets `successes` more allocations through and fails
// every one after.
class FailAllocationsAfter {
 public:
  explicit FailAllocationsAfter(std::size_t successes) {
    allocation_counters.successes_left = successes;
    allocation_counters.failing = true;
  }
  FailAllocationsAfter(const FailAllocationsAfter&) = delete;
  FailAllocationsAfter& operator=(const FailAllocationsAfter&) = delete;
  ~FailAllocationsAfter() { allocation_counters.failing = false; }
};

// The ten statistics by name, in the order of the module's method table, each with the query
// the module calls for it.
struct NamedStatistic {
  const char* name;
  Statistic statistic;
  double (*query)(const Frame&, ColumnKey);
};

#define QM_NAMED_STATISTIC(name) {#name, &name, &engine::query<&name>},
inline const NamedStatistic kStatistics[] = {QM_STATISTICS(QM_NAMED_STATISTIC)};
#undef QM_NAMED_STATISTIC

// A query by name through the module's query of that statistic.
inline double query(const Frame& frame, std::string_view name, Statistic statistic) {
  for (const NamedStatistic& s : kStatistics) {
    if (s.statistic == statistic) return s.query(frame, key(name));
  }
  throw std::logic_error("not one of the ten statistics");
}

}  // namespace quillometer::engine::test_support
