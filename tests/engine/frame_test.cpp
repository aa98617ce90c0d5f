// Tests of frame construction and of the column lookup: fresh state, repeated and unusual names,
// exact-byte comparison, the capacity check and exhausted memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/frame.hpp"
#include "engine/queries.hpp"
#include "test_support.hpp"

namespace quillometer::engine {
namespace {

using test_support::allocation_counters;
using test_support::append_one;
using test_support::append_row;
using test_support::bits;
using test_support::column;
using test_support::ColumnSnapshot;
using test_support::Entry;
using test_support::FailAllocationsAfter;
using test_support::fatal_message;
using test_support::find;
using test_support::make_frame;
using test_support::query;
using test_support::snapshot;

using Names = std::vector<std::string>;

constexpr std::uint64_t kTwoTo60 = std::uint64_t{1} << 60;

ColumnSnapshot fresh_snapshot(std::uint64_t window_size, double alpha, std::int64_t time_window) {
  ColumnSnapshot s;
  s.window_size = window_size;
  s.time_window = time_window;
  s.alpha = bits(alpha);
  return s;  // everything else zero, false or empty
}

TEST(FrameConstructionTest, EveryColumnStartsFreshWithTheTuningValuesCopied) {
  const double alpha = std::numeric_limits<double>::quiet_NaN();
  Frame frame = make_frame(Names{"a", "b"}, 5, alpha, -3);
  ASSERT_EQ(frame.columns.size(), 2u);
  for (const char* name : {"a", "b"}) {
    const ColumnState& c = column(frame, name);
    EXPECT_EQ(snapshot(c), fresh_snapshot(5, alpha, -3)) << name;
    EXPECT_EQ(c.window_values.capacity(), 5u);
    EXPECT_EQ(c.time_values.capacity(), 0u);
  }
  EXPECT_NE(find(frame, "a"), find(frame, "b"));
}

TEST(FrameConstructionTest, NoNamesAcceptsAnyWindowSize) {
  for (std::uint64_t window_size :
       {std::uint64_t{0}, kTwoTo60, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    Frame frame = make_frame(Names{}, window_size, 0.5, 10);
    EXPECT_EQ(frame.columns.size(), 0u);
    EXPECT_EQ(find(frame, ""), nullptr);
    EXPECT_EQ(find(frame, "a"), nullptr);

    append_row(frame, {}, 1);  // an empty row is fine
    EXPECT_EQ(fatal_message([&] { append_one(frame, "a", 1.0, 1); }), "Column 'a' does not exist");
    EXPECT_EQ(fatal_message([&] { query(frame, "a", &mean); }), "Column does not exist");
    EXPECT_EQ(fatal_message([&] { query(frame, "", &rate); }), "Column does not exist");
  }
}

TEST(FrameConstructionTest, RepeatedNameGivesOneFreshColumn) {
  Frame frame = make_frame(Names{"a", "b", "a", "a"}, 3, 0.25, 7);
  EXPECT_EQ(frame.columns.size(), 2u);
  EXPECT_EQ(snapshot(column(frame, "a")), fresh_snapshot(3, 0.25, 7));
  EXPECT_EQ(column(frame, "a").window_values.capacity(), 3u);

  // The surviving column is an ordinary one.
  append_one(frame, "a", 4.0, 1);
  EXPECT_EQ(column(frame, "a").count, 1u);
  EXPECT_EQ(column(frame, "b").count, 0u);
}

TEST(FrameConstructionTest, CapacityOverflowFromTwoTo60) {
  for (std::uint64_t window_size :
       {kTwoTo60, kTwoTo60 + 1, std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    EXPECT_EQ(fatal_message([&] { make_frame(Names{"a"}, window_size, 0.5, 10); }),
              "capacity overflow")
        << window_size;
    EXPECT_EQ(fatal_message([&] { make_frame(Names{"a", "b", "c"}, window_size, 0.5, 10); }),
              "capacity overflow")
        << window_size;
  }
}

TEST(FrameConstructionTest, WindowThatPassesTheCheckButCannotBeReservedThrowsBadAlloc) {
  // 2^60 - 1 is the largest size the check lets through; neither it nor 2^59 can be had.
  for (std::uint64_t window_size : {kTwoTo60 - 1, kTwoTo60 / 2}) {
    std::optional<std::string> fatal;
    EXPECT_THROW(fatal = fatal_message([&] { make_frame(Names{"a"}, window_size, 0.5, 10); }),
                 std::bad_alloc)
        << window_size;
    EXPECT_FALSE(fatal.has_value());
  }
}

TEST(FrameConstructionTest, FailedConstructionFreesWhatItBuilt) {
  REQUIRE_ALLOCATION_CONTROL();
  // Names beyond the short-string buffer, so every name is an allocation too.
  const Names names{"a column name of some length 1", "a column name of some length 2",
                    "a column name of some length 3", "a column name of some length 1",
                    "a column name of some length 4"};
  const std::size_t live = allocation_counters.live;
  std::size_t failures = 0;
  for (std::size_t successes = 0;; ++successes) {
    try {
      FailAllocationsAfter guard(successes);
      Frame frame = make_frame(names, 8, 0.5, 10);
    } catch (const std::bad_alloc&) {
      ++failures;
      ASSERT_EQ(allocation_counters.live, live) << "leak when allocation " << successes << " fails";
      continue;
    }
    break;
  }
  EXPECT_GE(failures, names.size());  // one count window per listed name, at least
  EXPECT_EQ(allocation_counters.live, live);

  EXPECT_TRUE(fatal_message([&] { make_frame(names, kTwoTo60, 0.5, 10); }).has_value());
  EXPECT_EQ(allocation_counters.live, live);
}

TEST(ColumnLookupTest, NamesDifferingByCaseAreTwoColumnsAndTheEmptyNameIsValid) {
  Frame frame = make_frame(Names{"x", "X", ""}, 4, 0.5, 10);
  EXPECT_EQ(frame.columns.size(), 3u);
  append_one(frame, "X", 2.0, 0);
  append_one(frame, "", 3.0, 0);
  EXPECT_EQ(column(frame, "x").count, 0u);
  EXPECT_EQ(column(frame, "X").last, 2.0);
  EXPECT_EQ(column(frame, "").last, 3.0);
  EXPECT_EQ(query(frame, "", &last), 3.0);
}

TEST(ColumnLookupTest, ComparesExactBytes) {
  const std::string with_nul("a\0b", 3);
  const std::string composed = "caf\xc3\xa9";     // U+00E9
  const std::string decomposed = "cafe\xcc\x81";  // e + U+0301
  Frame frame =
      make_frame(Names{"a", with_nul, composed, decomposed, "space", "space "}, 2, 0.5, 10);
  EXPECT_EQ(frame.columns.size(), 6u);

  std::set<const ColumnState*> distinct;
  for (const std::string& name : {std::string("a"), with_nul, composed, decomposed,
                                  std::string("space"), std::string("space ")}) {
    const ColumnState* c = find(frame, name);
    ASSERT_NE(c, nullptr) << name;
    distinct.insert(c);
  }
  EXPECT_EQ(distinct.size(), 6u);

  for (const std::string& missing :
       {std::string("a\0", 2), std::string("a\0c", 3), std::string("ab"), std::string("A"),
        std::string("cafe"), std::string("caf\xc3"), std::string("CAF\xc3\xa9"),
        std::string(" space"), std::string("space  "), std::string("spac")}) {
    EXPECT_EQ(find(frame, missing), nullptr) << missing;
    EXPECT_EQ(fatal_message([&] { append_one(frame, missing, 1.0, 0); }),
              "Column '" + missing + "' does not exist");
    EXPECT_EQ(fatal_message([&] { query(frame, missing, &mean); }), "Column does not exist");
  }

  // The name with a NUL byte is a column of its own, not "a".
  append_one(frame, with_nul, 9.0, 0);
  EXPECT_EQ(column(frame, with_nul).last, 9.0);
  EXPECT_EQ(column(frame, "a").count, 0u);
}

TEST(ColumnLookupTest, ManyNamesOfEveryLengthEachFindTheirOwnColumn) {
  Names names;
  for (std::size_t length = 0; length <= 40; ++length) names.push_back(std::string(length, 'q'));
  // Same length, one byte different, at each position (the hash reads these bytes unevenly).
  for (std::size_t position = 0; position < 24; ++position) {
    std::string name(24, 'r');
    name[position] = 's';
    names.push_back(name);
  }
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::string name(1 + rng() % 30, ' ');
    for (char& ch : name) ch = static_cast<char>(rng() % 256);
    names.push_back(name);
  }
  const std::set<std::string> unique(names.begin(), names.end());

  Frame frame = make_frame(names, 1, 0.5, 10);
  ASSERT_EQ(frame.columns.size(), unique.size());
  // Give every column its own value, then read each back.
  double value = 0.0;
  for (const std::string& name : unique) append_one(frame, name, value++, 0);
  value = 0.0;
  for (const std::string& name : unique) {
    const ColumnState* c = find(frame, name);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->last, value++);
    EXPECT_EQ(c->count, 1u);
    if (unique.count(name + "x") == 0) {
      EXPECT_EQ(find(frame, name + "x"), nullptr);
    }
  }
}

TEST(FrameConstructionTest, ManyNamesAreInsertedInAmortisedConstantTime) {
  REQUIRE_ALLOCATION_CONTROL();
  // Short names and empty count windows obtain no storage of their own, so what is left is the
  // table's: a few doublings, not one reallocation per name.
  Names names;
  for (int i = 0; i < 4096; ++i) names.push_back("c" + std::to_string(i));
  const std::size_t before = allocation_counters.allocations;
  Frame frame = make_frame(names, 0, 0.5, 10);
  EXPECT_EQ(frame.columns.size(), names.size());
  EXPECT_LT(allocation_counters.allocations - before, 64u);
}

// Two distinct names of `length` bytes, equal but for their last `varying` bytes, whose hashes
// agree in the bits a table of eight slots looks at (the slot and the stored tag), so that a
// lookup of one meets the other and only the byte comparison tells them apart. A birthday search
// over 2^20 names finds such pairs with near certainty.
std::optional<std::pair<std::string, std::string>> names_meeting_in_one_slot(std::size_t length,
                                                                             std::size_t varying,
                                                                             std::mt19937_64& rng) {
  std::string prefix(length - varying, ' ');
  for (char& ch : prefix) ch = static_cast<char>(rng() % 256);
  auto name_of = [&](std::uint32_t suffix) {
    std::string name = prefix;
    for (std::size_t i = 0; i < varying; ++i) name.push_back(static_cast<char>(suffix >> (8 * i)));
    return name;
  };
  const std::uint32_t space = std::uint32_t{1} << (8 * std::min<std::size_t>(varying, 3));
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  for (std::uint32_t n = 0; n < (1u << 20); ++n) {
    const std::uint32_t suffix = varying > 3 ? static_cast<std::uint32_t>(rng()) : n % space;
    const std::uint64_t h = test_support::name_hash(name_of(suffix));
    keyed.emplace_back((h >> 32) << 3 | (h & 7), suffix);
  }
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t i = 1; i < keyed.size(); ++i) {
    if (keyed[i].first == keyed[i - 1].first && keyed[i].second != keyed[i - 1].second) {
      return std::pair{name_of(keyed[i - 1].second), name_of(keyed[i].second)};
    }
  }
  return std::nullopt;
}

TEST(ColumnLookupTest, NamesMeetingInOneSlotStillCompareEveryByte) {
  std::mt19937_64 rng(11);
  const std::pair<std::size_t, std::size_t> shapes[] = {{7, 4},  {8, 3},  {12, 4},
                                                        {16, 4}, {17, 4}, {40, 4}};
  for (const auto& [length, varying] : shapes) {
    const auto pair = names_meeting_in_one_slot(length, varying, rng);
    ASSERT_TRUE(pair.has_value()) << length;
    const auto& [a, b] = *pair;
    Frame one = make_frame(Names{a}, 1, 0.5, 10);
    EXPECT_NE(find(one, a), nullptr);
    EXPECT_EQ(find(one, b), nullptr) << "length " << length;
    Frame two = make_frame(Names{a, b}, 1, 0.5, 10);
    EXPECT_EQ(two.columns.size(), 2u);
    EXPECT_NE(find(two, a), find(two, b));
  }
}

// A caller's hash that sends every name to one slot and one tag: only the bytes tell names apart.
TEST(ColumnLookupTest, CallerHashesThatAllCollideStillFindEveryName) {
  Names names;
  for (int length = 0; length < 40; ++length) names.push_back(std::string(length, 'n'));
  for (int i = 0; i < 60; ++i) names.push_back("c" + std::to_string(i));
  names.push_back("c0");  // repeated: one column
  const std::vector<std::uint64_t> hashes(names.size(), 0x1234'5678'9abc'def0u);
  std::vector<HashedName> hashed;
  for (const std::string& name : names) hashed.push_back({name, hashes[0]});
  Frame frame(hashed, 2, 0.5, 10);
  EXPECT_EQ(frame.columns.size(), names.size() - 1);
  std::set<const ColumnState*> seen;
  for (const std::string& name : names) {
    const ColumnState* c = frame.find_column(ColumnKey{name, hashes[0]});
    ASSERT_NE(c, nullptr) << name;
    seen.insert(c);
  }
  EXPECT_EQ(seen.size(), names.size() - 1);
  EXPECT_EQ(frame.find_column(ColumnKey{"c60", hashes[0]}), nullptr);
  EXPECT_EQ(frame.find_column(ColumnKey{std::string(40, 'n'), hashes[0]}), nullptr);
  // The high half of the hash is compared before any byte: a name brought with a hash that
  // differs there is not found.
  EXPECT_EQ(frame.find_column(ColumnKey{"c1", hashes[0] ^ (std::uint64_t{1} << 40)}), nullptr);
}

TEST(FrameConstructionTest, MovedFrameKeepsItsColumns) {
  Frame frame = make_frame(Names{"a"}, 2, 0.5, 10);
  append_one(frame, "a", 1.5, 3);
  const ColumnSnapshot before = snapshot(column(frame, "a"));
  Frame moved(std::move(frame));
  EXPECT_EQ(snapshot(column(moved, "a")), before);
}

}  // namespace
}  // namespace quillometer::engine
