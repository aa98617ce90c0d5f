// Row ingestion: the update of every named column by one value and the row's timestamp.
#include <string>

#include "engine/frame.hpp"
#include "runtime/fatal.hpp"

namespace quillometer::engine {

namespace {

__extension__ using i128 = __int128;

[[noreturn, gnu::cold, gnu::noinline]] void missing_column(std::string_view name) {
  std::string message = "Column '";
  message.append(name).append("' does not exist");
  runtime::raise_fatal(std::move(message));
}

// Evicts from the front of the time window while `older` holds for the front entry's timestamp,
// taking each leaving value back out of the sums.
template <class Older>
[[gnu::always_inline]] inline void evict_while(ColumnState& c, Older older) noexcept {
  while (!c.time_values.empty() && older(c.time_values.front().ts)) {
    const double y = c.time_values.front().value;
    c.time_values.pop_front();
    c.time_sum = c.time_sum - y;
    c.time_sum_sq = c.time_sum_sq - y * y;
  }
}

// Evicts the entries older than the width by the exact difference ts - front: 64-bit
// wrap-around would keep an entry 2^63 units old, or evict entries when a timestamp goes back.
[[gnu::cold, gnu::noinline]] void evict_exact(ColumnState& c, std::int64_t ts) noexcept {
  evict_while(c, [&](std::int64_t front) {
    return static_cast<i128>(ts) - static_cast<i128>(front) > static_cast<i128>(c.time_window);
  });
}

[[gnu::always_inline]] inline void update(ColumnState& c, double x, std::int64_t ts) noexcept {
  // Running statistics (Welford).
  c.last = x;
  c.count = c.count + 1;
  const double n = static_cast<double>(c.count);
  const double delta = x - c.mean;
  c.mean = delta / n + c.mean;
  c.m2 = (x - c.mean) * delta + c.m2;

  const double x_sq = x * x;

  // Count window. The sums take x first and give back the leaving value second; a full window
  // swaps its front for x in one step, so it never needs more storage than window_size.
  c.window_sum = c.window_sum + x;
  c.window_sum_sq = c.window_sum_sq + x_sq;
  if (c.window_values.size() == c.window_size) {
    if (c.window_size == 0) {
      c.window_sum = c.window_sum - x;
      c.window_sum_sq = c.window_sum_sq - x_sq;
    } else {
      const double y = c.window_values.replace_front(x);
      c.window_sum = c.window_sum - y;
      c.window_sum_sq = c.window_sum_sq - y * y;
    }
  } else {
    c.window_values.push_back_reserved(x);
  }

  // Time window: push, then evict from the front while the front is older than the width. An
  // entry at t is older exactly when t < ts - time_window; when that bound does not fit in 64
  // bits the exact comparison decides.
  c.time_values.push_back_reserved(TimedValue{x, ts});
  c.time_sum = c.time_sum + x;
  c.time_sum_sq = c.time_sum_sq + x_sq;
  std::int64_t oldest_kept;
  if (__builtin_sub_overflow(ts, c.time_window, &oldest_kept)) [[unlikely]] {
    evict_exact(c, ts);
  } else {
    evict_while(c, [oldest_kept](std::int64_t front) { return front < oldest_kept; });
  }

  // Moving average; the first value sets it whatever alpha is. (1 - alpha) is computed here and
  // not kept: the order of the operands fixes the bits a NaN result carries.
  if (c.ewma_initialized) {
    c.ewma = x * c.alpha + (1.0 - c.alpha) * c.ewma;
  } else {
    c.ewma = x;
    c.ewma_initialized = true;
  }
}

// Gives each column's time window room for one more entry; growth keeps the contents as they
// were, so a failure here (std::bad_alloc) leaves every column unchanged.
void make_room(std::span<const Update> updates) {
  for (const Update& u : updates) u.column->time_values.reserve_one();
}

}  // namespace

void Frame::apply(std::span<const Update> updates, std::int64_t ts) {
  make_room(updates);  // everything that can fail happens before the first column changes
  for (const Update& u : updates) update(*u.column, u.value, ts);
}

void Frame::refuse(std::span<const Update> updates, std::string_view missing) {
  make_room(updates);
  missing_column(missing);
}

}  // namespace quillometer::engine
