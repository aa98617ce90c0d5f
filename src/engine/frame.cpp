// The column table and the construction of a frame.
#include "engine/frame.hpp"

#include <limits>
#include <new>

#include "runtime/fatal.hpp"

namespace quillometer::engine {

namespace {

// 8 * window_size bytes must be expressible below 2^63 - 8.
constexpr std::uint64_t kMaxWindowSize = std::uint64_t{1} << 60;

// One fresh column under `key`; the window size is tested once per name.
void add_column(ColumnTable& columns, ColumnKey key, std::uint64_t window_size, double alpha,
                std::int64_t time_window) {
  if (window_size >= kMaxWindowSize) runtime::raise_fatal("capacity overflow");
  columns.insert_or_replace(key, ColumnState(window_size, alpha, time_window));
}

// The first empty slot on a hash's probe sequence.
template <class Slot>
std::size_t free_slot(const std::vector<Slot>& slots, std::size_t mask, std::uint64_t hash) {
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (slots[i].index_plus_one != 0) i = (i + 1) & mask;
  return i;
}

}  // namespace

void ColumnTable::rehash(std::size_t slot_count) {
  std::vector<Slot> fresh(slot_count, Slot{0, 0});
  const std::size_t mask = slot_count - 1;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    fresh[free_slot(fresh, mask, entries_[index].hash)] =
        Slot{static_cast<std::uint32_t>(index + 1), detail::tag_of(entries_[index].hash)};
  }
  slots_ = std::move(fresh);
  mask_ = mask;
}

void ColumnTable::insert_or_replace(ColumnKey key, ColumnState&& state) {
  if (ColumnState* existing = find(key)) {
    *existing = std::move(state);
    return;
  }
  if (entries_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
  // Keep the load at most one half, so probes stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    rehash(slots_.empty() ? 8 : slots_.size() * 2);
  }
  const std::size_t i = free_slot(slots_, mask_, key.hash);
  entries_.push_back(Entry{std::string(key.name), key.hash, std::move(state)});
  slots_[i] = Slot{static_cast<std::uint32_t>(entries_.size()), detail::tag_of(key.hash)};
}

Frame::Frame(std::span<const HashedName> col_names, std::uint64_t window_size, double alpha,
             std::int64_t time_window) {
  for (const HashedName& name : col_names) {
    add_column(columns, ColumnKey{name.text, name.hash}, window_size, alpha, time_window);
  }
}

}  // namespace quillometer::engine
