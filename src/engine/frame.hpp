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

// One entry of a row given by name: a column name and its value. The name is borrowed.
struct RowEntry {
  std::string_view name;
  double value;
};

// A column name together with its hash under the hash function the table was built with.
struct ColumnKey {
  std::string_view name;
  std::uint64_t hash;
};

// An owned column name with its hash, for a frame built with the caller's hash function.
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

inline std::uint32_t load16(const char* p) noexcept {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Equal-length byte strings compared with plain loads: two overlapping loads cover any length
// from 2 to 16, and longer names go 8 bytes at a time. No library call, so that a lookup inlined
// into a loop leaves the loop's registers alone.
[[gnu::always_inline]] inline bool same_bytes(const char* a, const char* b,
                                              std::size_t n) noexcept {
  using runtime::detail::load32;
  using runtime::detail::load64;
  if (n <= 8) {
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    if (n >= 2) return load16(a) == load16(b) && a[n - 1] == b[n - 1];
    return n == 0 || a[0] == b[0];
  }
  for (std::size_t i = 0; i + 8 < n; i += 8) {
    if (load64(a + i) != load64(b + i)) return false;
  }
  return load64(a + n - 8) == load64(b + n - 8);
}

}  // namespace detail

// A table from column name (owned UTF-8, compared by exact bytes) to ColumnState. Names are
// hashed either by the engine's own hash, keyed at random per process, or by a hash function
// of the caller's that is a function of the name's bytes (the module uses the interpreter's
// str hash, seeded per process as well); every lookup must then bring a hash of the same
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

  // The key of a name under the engine's own hash; only for tables built with that hash.
  static ColumnKey engine_key(std::string_view name) noexcept {
    return {name, runtime::hash_bytes(name, runtime::process_hash_key())};
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
  // Builds one fresh column per distinct name, each reserving its count window up front, the
  // names hashed with the engine's own hash. Raises the fatal error "capacity overflow" for a
  // window_size of 2^60 or more (tested once per name), and throws std::bad_alloc when the
  // storage cannot be had.
  Frame(std::span<const std::string> col_names, std::uint64_t window_size, double alpha,
        std::int64_t time_window);
  // The same with each name's hash given by the caller; every lookup must then give a
  // ColumnKey hashed the same way.
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
  // By name alone, under the engine's own hash (frames built without caller hashes).
  ColumnState* find_column(std::string_view name) noexcept {
    return columns.find(ColumnTable::engine_key(name));
  }
  const ColumnState* find_column(std::string_view name) const noexcept {
    return columns.find(ColumnTable::engine_key(name));
  }

  // Applies every entry of the row, stamped with ts, names under the engine's own hash. All
  // names are looked up and all storage obtained first: an unknown name (fatal error
  // "Column '<name>' does not exist") or exhausted memory (std::bad_alloc) leaves every column
  // exactly as it was. A name given twice is applied twice, in order.
  void append(std::span<const RowEntry> row, std::int64_t ts);

  // Applies a row whose names the caller has already looked up, `updates` naming each column at
  // most once. Every time window is given room first (std::bad_alloc changes nothing).
  void apply(std::span<const Update> updates, std::int64_t ts);
  // Refuses a row with a name that is not a column: `missing` is the first such name and
  // `updates` the entries found before it. Their time windows are given room first, so that
  // exhausted memory is reported before the unknown name as it is for a row applied by name;
  // then the fatal error "Column '<name>' does not exist" is raised. Nothing changes.
  [[noreturn]] void refuse(std::span<const Update> updates, std::string_view missing);

  ColumnTable columns;
};

// The update of one column by one value; exposed for tests and benchmarks of the arithmetic.
// The column's time window must have room for one more entry (Ring::reserve_one).
void update_column(ColumnState& column, double x, std::int64_t ts) noexcept;

}  // namespace quillometer::engine
