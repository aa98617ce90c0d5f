// One column's running statistics: its count window, time window, moving average and
// all-time mean and spread.
#pragma once

#include <cstdint>

#include "engine/ring.hpp"

namespace quillometer::engine {

// One entry of a time window: the value as appended and the timestamp of its row.
struct TimedValue {
  double value;
  std::int64_t ts;
};

struct ColumnState {
  ColumnState(std::uint64_t window_size, double alpha, std::int64_t time_window)
      : window_values(static_cast<std::size_t>(window_size)),
        window_size(window_size),
        time_window(time_window),
        alpha(alpha) {}

  // Count window: the last min(count, window_size) values, oldest at the front.
  Ring<double> window_values;
  std::uint64_t window_size;
  double window_sum = 0.0;
  double window_sum_sq = 0.0;

  // Time window: entries in append order (not necessarily timestamp order). Its storage starts
  // empty and only doubles, so it is always a power of two.
  Ring<TimedValue, true> time_values;
  std::int64_t time_window;
  double time_sum = 0.0;
  double time_sum_sq = 0.0;

  // Exponentially weighted moving average.
  double ewma = 0.0;
  double alpha;
  bool ewma_initialized = false;

  // Running statistics over every value ever appended (Welford).
  double last = 0.0;
  std::uint64_t count = 0;
  double mean = 0.0;
  double m2 = 0.0;
};

}  // namespace quillometer::engine
