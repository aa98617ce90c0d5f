// Row ingestion: the update of every named column by one value and the row's timestamp.
#include <string>

#include "engine/frame.hpp"
#include "runtime/fatal.hpp"
#include "runtime/small_vector.hpp"

namespace quillometer::engine {

namespace {

__extension__ using i128 = __int128;

// The exact difference ts - front, compared with the width; 64-bit wrap-around would keep an
// entry 2^63 units old, or evict entries when a timestamp goes back.
bool older_than_window(std::int64_t ts, std::int64_t front, std::int64_t time_window) noexcept {
  return static_cast<i128>(ts) - static_cast<i128>(front) > static_cast<i128>(time_window);
}

[[noreturn, gnu::cold]] void missing_column(std::string_view name) {
  std::string message = "Column '";
  message.append(name).append("' does not exist");
  runtime::raise_fatal(std::move(message));
}

}  // namespace

void update_column(ColumnState& c, double x, std::int64_t ts) noexcept {
  // Running statistics (Welford).
  c.last = x;
  c.count = c.count + 1;
  const double n = static_cast<double>(c.count);
  const double delta = x - c.mean;
  c.mean = delta / n + c.mean;
  c.m2 = (x - c.mean) * delta + c.m2;

  const double x_sq = x * x;

  // Count window. The sums take x first and give back the leaving value second; the ring drops
  // its front before taking x, so a full window reuses its slot and never needs more storage.
  c.window_sum = c.window_sum + x;
  c.window_sum_sq = c.window_sum_sq + x_sq;
  if (c.window_size == 0) {
    c.window_sum = c.window_sum - x;
    c.window_sum_sq = c.window_sum_sq - x_sq;
  } else if (c.window_values.size() == c.window_size) {
    const double y = c.window_values.front();
    c.window_values.pop_front();
    c.window_values.push_back_reserved(x);
    c.window_sum = c.window_sum - y;
    c.window_sum_sq = c.window_sum_sq - y * y;
  } else {
    c.window_values.push_back_reserved(x);
  }

  // Time window: push, then evict from the front while the front is older than the width.
  c.time_values.push_back_reserved(TimedValue{x, ts});
  c.time_sum = c.time_sum + x;
  c.time_sum_sq = c.time_sum_sq + x_sq;
  while (!c.time_values.empty() && older_than_window(ts, c.time_values.front().ts, c.time_window)) {
    const double y = c.time_values.front().value;
    c.time_values.pop_front();
    c.time_sum = c.time_sum - y;
    c.time_sum_sq = c.time_sum_sq - y * y;
  }

  // Moving average; the first value sets it whatever alpha is.
  if (c.ewma_initialized) {
    c.ewma = x * c.alpha + (1.0 - c.alpha) * c.ewma;
  } else {
    c.ewma = x;
    c.ewma_initialized = true;
  }
}

void Frame::append(std::span<const RowEntry> row, std::int64_t ts) {
  // Everything that can fail happens before the first column changes: each name is looked up
  // and its time window given room for the new entry (growth keeps the contents as they were).
  runtime::SmallVector<ColumnState*, 16> targets;
  targets.reserve(row.size());
  for (const RowEntry& entry : row) {
    ColumnState* column = columns.find(entry.name);
    if (column == nullptr) missing_column(entry.name);
    column->time_values.reserve_one();
    targets.emplace_back(column);
  }
  for (std::size_t i = 0; i < row.size(); ++i) {
    ColumnState& column = *targets[i];
    // A name given twice (the boundary never does) needs a second slot.
    if (column.time_values.full()) column.time_values.reserve_one();
    update_column(column, row[i].value, ts);
  }
}

}  // namespace quillometer::engine
