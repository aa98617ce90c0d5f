// The engine state behind one object: the table of columns, its construction, the lookup by
// name, and the ingestion of rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/column_state.hpp"
#include "runtime/hash.hpp"

namespace quillometer::engine {

// One converted entry of a row: a column name and its value. The name is borrowed for the call.
struct RowEntry {
  std::string_view name;
  double value;
};

namespace detail {

inline std::uint32_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint32_t>(hash >> 32);
}

// Equal-length byte strings compared without a library call for the usual short names.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
  using runtime::detail::load32;
  using runtime::detail::load64;
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n > 8) return load64(a) == load64(b) && load64(a + n - 8) == load64(b + n - 8);
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace detail

// A table from column name (owned UTF-8, compared by exact bytes) to ColumnState, under a hash
// keyed at random per process. Its set of names is fixed once built; it never grows afterwards.
class ColumnTable {
 public:
  ColumnTable() = default;
  ColumnTable(ColumnTable&&) noexcept = default;
  ColumnTable& operator=(ColumnTable&&) noexcept = default;

  // Inserts a fresh state under `name`, replacing (and freeing) the state of an equal name.
  void insert_or_replace(std::string_view name, ColumnState&& state);

  ColumnState* find(std::string_view name) noexcept {
    if (entries_.empty()) return nullptr;
    const Slot slot = slots_[probe(name, hash_name(name))];
    return slot.index_plus_one == 0 ? nullptr : &entries_[slot.index_plus_one - 1].state;
  }
  const ColumnState* find(std::string_view name) const noexcept {
    return const_cast<ColumnTable*>(this)->find(name);
  }

  std::size_t size() const noexcept { return entries_.size(); }

 private:
  struct Entry {
    std::string name;
    std::uint64_t hash;
    ColumnState state;
  };
  // Open addressing with linear probing; a slot holds index + 1 into entries_, 0 when empty,
  // and the high half of the hash so that most mismatches never touch the name.
  struct Slot {
    std::uint32_t index_plus_one;
    std::uint32_t tag;
  };

  std::uint64_t hash_name(std::string_view name) const noexcept {
    return runtime::hash_bytes(name, key_);
  }

  // The slot holding `name`, or the empty slot where it would go.
  std::size_t probe(std::string_view name, std::uint64_t hash) const noexcept {
    const std::uint32_t tag = detail::tag_of(hash);
    std::size_t i = static_cast<std::size_t>(hash) & mask_;
    for (;;) {
      const Slot slot = slots_[i];
      if (slot.index_plus_one == 0) return i;
      if (slot.tag == tag) {
        const std::string& stored = entries_[slot.index_plus_one - 1].name;
        if (stored.size() == name.size() &&
            detail::same_bytes(stored.data(), name.data(), name.size())) {
          return i;
        }
      }
      i = (i + 1) & mask_;
    }
  }

  void rehash(std::size_t slot_count);

  runtime::HashKey key_ = runtime::process_hash_key();  // kept here: no guard check per lookup
  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

class Frame {
 public:
  // Builds one fresh column per distinct name, each reserving its count window up front.
  // Raises the fatal error "capacity overflow" for a window_size of 2^60 or more (tested once
  // per name), and throws std::bad_alloc when the storage cannot be had.
  Frame(std::span<const std::string> col_names, std::uint64_t window_size, double alpha,
        std::int64_t time_window);

  Frame(Frame&&) noexcept = default;
  Frame& operator=(Frame&&) noexcept = default;

  ColumnState* find_column(std::string_view name) noexcept { return columns.find(name); }
  const ColumnState* find_column(std::string_view name) const noexcept {
    return columns.find(name);
  }

  // Applies every entry of the row, stamped with ts. All names are looked up and all storage
  // obtained first: an unknown name (fatal error "Column '<name>' does not exist") or exhausted
  // memory (std::bad_alloc) leaves every column exactly as it was.
  void append(std::span<const RowEntry> row, std::int64_t ts);

  ColumnTable columns;
};

// The update of one column by one value; exposed for tests and benchmarks of the arithmetic.
// The column's time window must have room for one more entry (Ring::reserve_one).
void update_column(ColumnState& column, double x, std::int64_t ts) noexcept;

}  // namespace quillometer::engine
