// The column table and the construction of a frame.
#include "engine/frame.hpp"

#include <limits>
#include <new>

#include "runtime/fatal.hpp"

namespace quillometer::engine {

std::size_t ColumnTable::probe(ColumnKey key) const noexcept {
  const std::uint32_t tag = detail::tag_of(key.hash);
  std::size_t i = static_cast<std::size_t>(key.hash) & mask_;
  for (;;) {
    const Slot slot = slots_[i];
    if (slot.index_plus_one == 0) return i;
    if (slot.tag == tag) {
      const std::string& stored = entries_[slot.index_plus_one - 1].name;
      if (stored.size() == key.name.size() &&
          detail::same_bytes(stored.data(), key.name.data(), key.name.size())) {
        return i;
      }
    }
    i = (i + 1) & mask_;
  }
}

void ColumnTable::rehash(std::size_t slot_count) {
  std::vector<Slot> fresh(slot_count, Slot{0, 0});
  const std::size_t mask = slot_count - 1;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    std::size_t i = static_cast<std::size_t>(entries_[index].hash) & mask;
    while (fresh[i].index_plus_one != 0) i = (i + 1) & mask;
    fresh[i] = Slot{static_cast<std::uint32_t>(index + 1), detail::tag_of(entries_[index].hash)};
  }
  slots_ = std::move(fresh);
  mask_ = mask;
}

void ColumnTable::insert_or_replace(ColumnKey key, ColumnState&& state) {
  if (!entries_.empty()) {
    const Slot slot = slots_[probe(key)];
    if (slot.index_plus_one != 0) {
      entries_[slot.index_plus_one - 1].state = std::move(state);
      return;
    }
  }
  if (entries_.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::bad_alloc();
  // Keep the load at most one half, so probes stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    rehash(slots_.empty() ? 8 : slots_.size() * 2);
  }
  std::size_t i = probe(key);
  entries_.push_back(Entry{std::string(key.name), key.hash, std::move(state)});
  slots_[i] = Slot{static_cast<std::uint32_t>(entries_.size()), detail::tag_of(key.hash)};
}

namespace {

// 8 * window_size bytes must be expressible below 2^63 - 8.
constexpr std::uint64_t kMaxWindowSize = std::uint64_t{1} << 60;

}  // namespace

Frame::Frame(std::span<const std::string> col_names, std::uint64_t window_size, double alpha,
             std::int64_t time_window) {
  for (const std::string& name : col_names) {
    if (window_size >= kMaxWindowSize) runtime::raise_fatal("capacity overflow");
    columns.insert_or_replace(ColumnTable::engine_key(name),
                              ColumnState(window_size, alpha, time_window));
  }
}

Frame::Frame(std::span<const HashedName> col_names, std::uint64_t window_size, double alpha,
             std::int64_t time_window) {
  for (const HashedName& name : col_names) {
    if (window_size >= kMaxWindowSize) runtime::raise_fatal("capacity overflow");
    columns.insert_or_replace(ColumnKey{name.text, name.hash},
                              ColumnState(window_size, alpha, time_window));
  }
}

}  // namespace quillometer::engine
