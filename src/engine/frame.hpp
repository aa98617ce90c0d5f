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

namespace quillometer::engine {

// A column name together with its hash under the hash function the table was built with.
struct ColumnKey {
  std::string_view name;
  std::uint64_t hash;
};

// An owned column name with its hash.
struct HashedName {
  std::string text;
  std::uint64_t hash;
};

// One entry of a row whose column has been found: the column and its value.
struct Update {
  ColumnState* column;
  double value;
};

namespace detail {

inline std::uint32_t tag_of(std::uint64_t hash) noexcept {
  return static_cast<std::uint32_t>(hash >> 32);
}

template <class Word>
inline bool same_word(const char* a, const char* b) noexcept {
  Word x, y;
  std::memcpy(&x, a, sizeof x);
  std::memcpy(&y, b, sizeof y);
  return x == y;
}

// Equal-length byte strings compared with plain loads: two overlapping loads cover any length
// from 2 to 16, and longer names go 8 bytes at a time. No library call, so that a lookup inlined
// into a loop leaves the loop's registers alone.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b,
                                              std::size_t n) noexcept {
  using W16 = std::uint16_t;
  using W32 = std::uint32_t;
  using W64 = std::uint64_t;
  if (n <= 8) {
    if (n >= 4) return same_word<W32>(a, b) && same_word<W32>(a + n - 4, b + n - 4);
    if (n >= 2) return same_word<W16>(a, b) && a[n - 1] == b[n - 1];
    return n == 0 || a[0] == b[0];
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    if (!same_word<W64>(a + i, b + i)) return false;
  }
  return same_word<W64>(a + n - 8, b + n - 8);
}

}  // namespace detail

// A table from column name (owned UTF-8, compared by exact bytes) to ColumnState. Names come
// hashed by the caller, with any hash that is a function of the name's bytes (the module uses
// the interpreter's str hash, seeded per process); every lookup must bring a hash of the same
// function. Its set of names is fixed once built; it never grows afterwards.
class ColumnTable {
 public:
  ColumnTable() = default;
  ColumnTable(ColumnTable&&) noexcept = default;
  ColumnTable& operator=(ColumnTable&&) noexcept = default;

  // Inserts a fresh state under `key`, replacing (and freeing) the state of an equal name.
  void insert_or_replace(ColumnKey key, ColumnState&& state);

  [[gnu::always_inline]] ColumnState* find(ColumnKey key) noexcept {
    if (entries_.empty()) return nullptr;
    const std::uint32_t tag = detail::tag_of(key.hash);
    std::size_t i = static_cast<std::size_t>(key.hash) & mask_;
    for (;;) {
      const Slot slot = slots_[i];
      if (slot.index_plus_one == 0) return nullptr;
      if (slot.tag == tag) {
        Entry& entry = entries_[slot.index_plus_one - 1];
        if (entry.name.size() == key.name.size() &&
            detail::same_bytes(entry.name.data(), key.name.data(), key.name.size())) {
          return &entry.state;
        }
      }
      i = (i + 1) & mask_;
    }
  }
  [[gnu::always_inline]] const ColumnState* find(ColumnKey key) const noexcept {
    return const_cast<ColumnTable*>(this)->find(key);
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

  void rehash(std::size_t slot_count);

  std::vector<Entry> entries_;
  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
};

class Frame {
 public:
  // Builds one fresh column per distinct name, each reserving its count window up front; every
  // lookup must then give a ColumnKey hashed as the names were. Raises the fatal error
  // "capacity overflow" for a window_size of 2^60 or more (tested once per name), and throws
  // std::bad_alloc when the storage cannot be had.
  Frame(std::span<const HashedName> col_names, std::uint64_t window_size, double alpha,
        std::int64_t time_window);

  Frame(Frame&&) noexcept = default;
  Frame& operator=(Frame&&) noexcept = default;

  [[gnu::always_inline]] ColumnState* find_column(ColumnKey key) noexcept {
    return columns.find(key);
  }
  [[gnu::always_inline]] const ColumnState* find_column(ColumnKey key) const noexcept {
    return columns.find(key);
  }
  // Applies a row whose names the caller has already looked up, stamped with ts, `updates`
  // naming each column at most once. Every time window is given room first, so exhausted
  // memory (std::bad_alloc) changes nothing.
  void apply(std::span<const Update> updates, std::int64_t ts);
  // Refuses a row with a name that is not a column: `missing` is the first such name and
  // `updates` the entries found before it. Their time windows are given room first, so that
  // exhausted memory is reported before the unknown name; then the fatal error "Column '<name>'
  // does not exist" is raised. Nothing changes.
  [[noreturn]] void refuse(std::span<const Update> updates, std::string_view missing);

  ColumnTable columns;
};

}  // namespace quillometer::engine
