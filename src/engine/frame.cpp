// The column table and the construction of a frame.
#include "engine/frame.hpp"

#include <cstring>
#include <limits>
#include <new>

#include "runtime/fatal.hpp"
#include "runtime/hash.hpp"

namespace quillometer::engine {

namespace {
std::uint64_t hash_name(std::string_view name) noexcept {
  return runtime::hash_bytes(name, runtime::process_hash_key());
}
std::uint32_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint32_t>(hash >> 32);
}

// Equal-length byte strings compared without a library call for the usual short names.
bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) {
    return runtime::detail::load64(a) == runtime::detail::load64(b) &&
           runtime::detail::load64(a + n - 8) == runtime::detail::load64(b + n - 8);
  }
  if (n >= 4) {
    return runtime::detail::load32(a) == runtime::detail::load32(b) &&
           runtime::detail::load32(a + n - 4) == runtime::detail::load32(b + n - 4);
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}
}  // namespace

std::size_t ColumnTable::probe(std::string_view name, std::uint64_t hash) const noexcept {
  const std::uint32_t tag = tag_of(hash);
  std::size_t i = static_cast<std::size_t>(hash) & mask_;
  for (;;) {
    const Slot slot = slots_[i];
    if (slot.index_plus_one == 0) return i;
    if (slot.tag == tag) {
      const std::string& stored = entries_[slot.index_plus_one - 1].name;
      if (stored.size() == name.size() && same_bytes(stored.data(), name.data(), name.size())) {
        return i;
      }
    }
    i = (i + 1) & mask_;
  }
}

ColumnState* ColumnTable::find(std::string_view name) noexcept {
  if (entries_.empty()) return nullptr;
  const Slot slot = slots_[probe(name, hash_name(name))];
  return slot.index_plus_one == 0 ? nullptr : &entries_[slot.index_plus_one - 1].state;
}

void ColumnTable::rehash(std::size_t slot_count) {
  std::vector<Slot> fresh(slot_count, Slot{0, 0});
  const std::size_t mask = slot_count - 1;
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    std::size_t i = static_cast<std::size_t>(entries_[index].hash) & mask;
    while (fresh[i].index_plus_one != 0) i = (i + 1) & mask;
    fresh[i] = Slot{static_cast<std::uint32_t>(index + 1), tag_of(entries_[index].hash)};
  }
  slots_ = std::move(fresh);
  mask_ = mask;
}

void ColumnTable::insert_or_replace(std::string_view name, ColumnState&& state) {
  const std::uint64_t hash = hash_name(name);
  if (!entries_.empty()) {
    const Slot slot = slots_[probe(name, hash)];
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
  std::size_t i = probe(name, hash);
  entries_.push_back(Entry{std::string(name), hash, std::move(state)});
  slots_[i] = Slot{static_cast<std::uint32_t>(entries_.size()), tag_of(hash)};
}

Frame::Frame(std::span<const std::string> col_names, std::uint64_t window_size, double alpha,
             std::int64_t time_window) {
  // 8 * window_size bytes must be expressible below 2^63 - 8.
  constexpr std::uint64_t max_window_size = std::uint64_t{1} << 60;
  for (const std::string& name : col_names) {
    if (window_size >= max_window_size) runtime::raise_fatal("capacity overflow");
    columns.insert_or_replace(name, ColumnState(window_size, alpha, time_window));
  }
}

}  // namespace quillometer::engine
