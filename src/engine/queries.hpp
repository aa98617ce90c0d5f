// The ten statistic queries: each reads a few stored fields of one column, never its windows'
// contents, and does a handful of double operations.
#pragma once

#include <cmath>

#include "engine/frame.hpp"

// The ten statistics, in the order of the class's methods: the one list from which the method
// table, the signatures and the tests' tables are made. X(name) for each.
#define QM_STATISTICS(X) \
  X(mean)                \
  X(variance)            \
  X(last)                \
  X(rolling_mean)        \
  X(rolling_std)         \
  X(zscore)              \
  X(time_mean)           \
  X(time_std)            \
  X(rate)                \
  X(ewma)

namespace quillometer::engine {

namespace detail {

// Mean and clamped variance of a window from its length (non-zero), sum and sum of squares.
// The clamp turns cancellation below zero, a negative zero and a NaN alike into +0.0.
struct Spread {
  double mean;
  double variance;
};

inline Spread window_spread(std::uint64_t length, double sum, double sum_sq) noexcept {
  const double d = static_cast<double>(length);
  const double m = sum / d;
  const double q = sum_sq / d;
  double v = q - m * m;
  if (!(v > 0.0)) v = 0.0;
  return {m, v};
}

}  // namespace detail

inline double mean(const ColumnState& c) noexcept {
  return c.mean;
}

inline double variance(const ColumnState& c) noexcept {
  return c.count == 0 ? 0.0 : c.m2 / static_cast<double>(c.count);
}

inline double last(const ColumnState& c) noexcept {
  return c.last;
}

inline double rolling_mean(const ColumnState& c) noexcept {
  const std::uint64_t length = c.window_values.size();
  return length == 0 ? 0.0 : c.window_sum / static_cast<double>(length);
}

inline double rolling_std(const ColumnState& c) noexcept {
  const std::uint64_t length = c.window_values.size();
  if (length == 0) return 0.0;
  return std::sqrt(detail::window_spread(length, c.window_sum, c.window_sum_sq).variance);
}

inline double zscore(const ColumnState& c) noexcept {
  const std::uint64_t length = c.window_values.size();
  if (length == 0) return 0.0;
  const detail::Spread s = detail::window_spread(length, c.window_sum, c.window_sum_sq);
  if (s.variance == 0.0) return 0.0;
  return (c.last - s.mean) / std::sqrt(s.variance);
}

inline double time_mean(const ColumnState& c) noexcept {
  const std::uint64_t length = c.time_values.size();
  return length == 0 ? 0.0 : c.time_sum / static_cast<double>(length);
}

inline double time_std(const ColumnState& c) noexcept {
  const std::uint64_t length = c.time_values.size();
  if (length == 0) return 0.0;
  return std::sqrt(detail::window_spread(length, c.time_sum, c.time_sum_sq).variance);
}

// Entries held per unit of the configured width (not of the timestamps' actual spread).
inline double rate(const ColumnState& c) noexcept {
  const std::uint64_t length = c.time_values.size();
  if (length == 0 || c.time_window == 0) return 0.0;
  return static_cast<double>(length) / static_cast<double>(c.time_window);
}

inline double ewma(const ColumnState& c) noexcept {
  return c.ewma;
}

using Statistic = double (*)(const ColumnState&) noexcept;

// The fatal error of a query for a name that is not a column (the name is deliberately not in
// the message).
[[noreturn]] void missing_queried_column();

// Looks the column up (the key hashed as the frame's names were) and computes one statistic; an
// unknown name raises the fatal error "Column does not exist".
template <Statistic S>
[[gnu::always_inline]] inline double query(const Frame& frame, ColumnKey key) {
  const ColumnState* column = frame.find_column(key);
  if (column == nullptr) [[unlikely]]
    missing_queried_column();
  return S(*column);
}

}  // namespace quillometer::engine
