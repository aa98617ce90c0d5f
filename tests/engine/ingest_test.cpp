// Tests of row ingestion: the running statistics, both windows and their sums, the moving
// average, timestamp differences, and rows that fail (unknown names, exhausted memory).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "engine/frame.hpp"
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
using test_support::timestamps_of;
using test_support::window_of;

using Names = std::vector<std::string>;
using Values = std::vector<double>;
using Stamps = std::vector<std::int64_t>;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A one-column frame "c".
Frame single(std::uint64_t window_size, double alpha, std::int64_t time_window) {
  return make_frame(Names{"c"}, window_size, alpha, time_window);
}

TEST(RunningStatisticsTest, WelfordTwoThenFour) {
  Frame frame = single(4, 0.5, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 2.0, 0);
  EXPECT_EQ(c.count, 1u);
  EXPECT_EQ(c.last, 2.0);
  EXPECT_EQ(c.mean, 2.0);
  EXPECT_EQ(bits(c.m2), bits(0.0));
  append_one(frame, "c", 4.0, 1);
  EXPECT_EQ(c.count, 2u);
  EXPECT_EQ(c.last, 4.0);
  EXPECT_EQ(c.mean, 3.0);
  EXPECT_EQ(c.m2, 2.0);
}

TEST(RunningStatisticsTest, EachOperationRoundedOnItsOwn) {
  Frame frame = single(4, 0.5, 10);
  ColumnState& c = column(frame, "c");
  for (double x : {0.1, 0.2, 0.3}) append_one(frame, "c", x, 0);
  EXPECT_EQ(c.mean, 0.2);
  EXPECT_EQ(c.m2, 0.01999999999999999);
  // The case discriminates: fusing the last product into its addition gives other bits
  // (delta 0.3 - 0.15000000000000002, previous m2 0.004999999999999999).
  EXPECT_NE(std::fma(0.3 - 0.2, 0.3 - 0.15000000000000002, 0.004999999999999999), c.m2);
}

TEST(RunningStatisticsTest, NaNAndInfinityFollowTheArithmetic) {
  Frame frame = single(4, 0.5, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 1.0, 0);
  append_one(frame, "c", kInf, 0);
  EXPECT_EQ(c.mean, kInf);
  EXPECT_TRUE(std::isnan(c.m2));  // (inf - inf) * inf
  append_one(frame, "c", kNaN, 0);
  append_one(frame, "c", 5.0, 0);
  EXPECT_TRUE(std::isnan(c.mean));
  EXPECT_EQ(c.last, 5.0);
  EXPECT_EQ(c.count, 4u);
}

TEST(CountWindowTest, KeepsTheLastWindowSizeValuesAndItsSums) {
  Frame frame = single(3, 0.5, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 1.0, 0);
  append_one(frame, "c", 2.0, 0);
  append_one(frame, "c", 3.0, 0);
  EXPECT_EQ(window_of(c), (Values{1.0, 2.0, 3.0}));
  append_one(frame, "c", 4.0, 0);
  EXPECT_EQ(window_of(c), (Values{2.0, 3.0, 4.0}));
  EXPECT_EQ(c.window_sum, 9.0);
  EXPECT_EQ(c.window_sum_sq, 29.0);
}

TEST(CountWindowTest, SumsAreIncrementalAddingBeforeSubtracting) {
  // Adding 1 to 1e16 is lost to rounding, so a sum recomputed from the window (1) or one that
  // subtracted before adding (also 1) would differ from ((1e16 + 1) - 1e16) = 0.
  Frame frame = single(1, 0.5, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 1e16, 0);
  append_one(frame, "c", 1.0, 0);
  EXPECT_EQ(window_of(c), (Values{1.0}));
  EXPECT_EQ(bits(c.window_sum), bits(0.0));
  EXPECT_EQ(c.window_sum_sq, 0.0);  // (1e32 + 1) - 1e32
}

TEST(CountWindowTest, ZeroSizeKeepsTheWindowEmpty) {
  Frame frame = single(0, 0.5, 10);
  ColumnState& c = column(frame, "c");
  EXPECT_EQ(c.window_values.capacity(), 0u);
  for (double x : {1.0, -2.5, 0.1, 1e300}) {
    append_one(frame, "c", x, 0);
    EXPECT_TRUE(c.window_values.empty());
    EXPECT_EQ(bits(c.window_sum), bits(0.0)) << x;  // (previous + x) - x
  }
  // 1e300 squared is inf, and (0 + inf) - inf is NaN: the sum is not reset, only followed.
  EXPECT_TRUE(std::isnan(c.window_sum_sq));
  EXPECT_EQ(c.count, 4u);
  EXPECT_EQ(c.last, 1e300);
}

TEST(CountWindowTest, NaNAndInfinityLeaveTheSumsNaN) {
  Frame frame = single(2, 0.5, 10);
  ColumnState& c = column(frame, "c");
  for (double x : {1.0, kNaN, 2.0, 3.0}) append_one(frame, "c", x, 0);
  EXPECT_EQ(window_of(c), (Values{2.0, 3.0}));
  EXPECT_TRUE(std::isnan(c.window_sum));  // NaN - NaN after the NaN has left
  EXPECT_TRUE(std::isnan(c.window_sum_sq));

  Frame inf = single(1, 0.5, 10);
  ColumnState& d = column(inf, "c");
  append_one(inf, "c", kInf, 0);
  EXPECT_EQ(d.window_sum, kInf);
  append_one(inf, "c", 1.0, 0);
  EXPECT_TRUE(std::isnan(d.window_sum));  // inf - inf once it has left
}

TEST(TimeWindowTest, EvictsEntriesOlderThanTheWidth) {
  Frame frame = single(8, 0.5, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 1.0, 0);
  append_one(frame, "c", 2.0, 5);
  append_one(frame, "c", 3.0, 10);
  EXPECT_EQ(timestamps_of(c), (Stamps{0, 5, 10}));  // 10 - 0 is not more than 10
  EXPECT_EQ(c.time_sum, 6.0);
  append_one(frame, "c", 4.0, 11);
  EXPECT_EQ(timestamps_of(c), (Stamps{5, 10, 11}));
  EXPECT_EQ(c.time_sum, 9.0);
  EXPECT_EQ(c.time_sum_sq, 29.0);
}

TEST(TimeWindowTest, ZeroWidthKeepsOnlyTheNewestTimestamp) {
  Frame frame = single(8, 0.5, 0);
  ColumnState& c = column(frame, "c");
  for (double x : {1.0, 2.0, 3.0}) append_one(frame, "c", x, 5);
  EXPECT_EQ(timestamps_of(c), (Stamps{5, 5, 5}));
  append_one(frame, "c", 4.0, 6);
  EXPECT_EQ(timestamps_of(c), (Stamps{6}));
  EXPECT_EQ(c.time_sum, 4.0);  // (((1 + 2 + 3) + 4) - 1 - 2 - 3)
}

TEST(TimeWindowTest, NegativeWidthEmptiesTheWindowOnEveryUpdate) {
  for (std::int64_t width : {std::int64_t{-1}, std::int64_t{-10}, kMin}) {
    Frame frame = single(8, 0.5, width);
    ColumnState& c = column(frame, "c");
    for (std::int64_t ts : {std::int64_t{0}, std::int64_t{5}, std::int64_t{-7}, kMax, kMin}) {
      append_one(frame, "c", 2.5, ts);
      EXPECT_TRUE(c.time_values.empty()) << width << " " << ts;
      EXPECT_EQ(bits(c.time_sum), bits(0.0));
      EXPECT_EQ(bits(c.time_sum_sq), bits(0.0));
    }
  }
}

TEST(TimeWindowTest, TimestampsGoingBackRemoveFewerEntries) {
  Frame frame = single(8, 0.5, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 1.0, 100);
  append_one(frame, "c", 2.0, 50);
  EXPECT_EQ(timestamps_of(c), (Stamps{100, 50}));
  // The old entry sits behind a newer front, which is not yet old enough.
  append_one(frame, "c", 3.0, 105);
  EXPECT_EQ(timestamps_of(c), (Stamps{100, 50, 105}));
  // Once the front leaves, the entry behind it is examined too.
  append_one(frame, "c", 4.0, 111);
  EXPECT_EQ(timestamps_of(c), (Stamps{105, 111}));
  EXPECT_EQ(c.time_sum, 7.0);
}

TEST(TimeWindowTest, DifferencesAreExactAcrossTheWholeRange) {
  struct Case {
    std::int64_t width;
    std::int64_t older;
    std::int64_t newer;
    bool evicted;
  };
  const Case cases[] = {
      {10, -1, kMax, true},                              // 2^63: would wrap to -2^63
      {10, kMax, -2, false},                             // -2^63 - 1: would wrap to 2^63 - 1
      {10, kMin, 0, true},                               // an entry 2^63 units old
      {10, kMin, kMax, true},                            // 2^64 - 1
      {10, kMax, kMin, false}, {kMax, kMin, -1, false},  // exactly the width
      {kMax, kMin, 0, true},   {0, kMax, kMax, false},  {0, kMin, kMin, false},
  };
  for (const Case& k : cases) {
    Frame frame = single(8, 0.5, k.width);
    ColumnState& c = column(frame, "c");
    append_one(frame, "c", 1.0, k.older);
    append_one(frame, "c", 2.0, k.newer);
    const Stamps expected = k.evicted ? Stamps{k.newer} : Stamps{k.older, k.newer};
    EXPECT_EQ(timestamps_of(c), expected) << k.width << ": " << k.older << " then " << k.newer;
    EXPECT_EQ(c.time_sum, k.evicted ? 2.0 : 3.0);
  }
}

TEST(TimeWindowTest, NaNAndInfinityLeaveTheSumsNaN) {
  Frame frame = single(8, 0.5, 1);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", kNaN, 0);
  append_one(frame, "c", kInf, 1);
  append_one(frame, "c", 1.0, 2);
  EXPECT_EQ(timestamps_of(c), (Stamps{1, 2}));
  EXPECT_TRUE(std::isnan(c.time_sum));

  Frame inf = single(8, 0.5, 1);
  ColumnState& d = column(inf, "c");
  append_one(inf, "c", kInf, 0);
  append_one(inf, "c", 1.0, 1);
  EXPECT_EQ(d.time_sum, kInf);
  append_one(inf, "c", 1.0, 2);
  EXPECT_TRUE(std::isnan(d.time_sum));
  EXPECT_TRUE(std::isnan(d.time_sum_sq));
}

TEST(MovingAverageTest, FirstValueSetsItThenTheWeightedMix) {
  Frame frame = single(4, 0.5, 10);
  ColumnState& c = column(frame, "c");
  EXPECT_FALSE(c.ewma_initialized);
  append_one(frame, "c", 10.0, 0);
  EXPECT_TRUE(c.ewma_initialized);
  EXPECT_EQ(c.ewma, 10.0);
  append_one(frame, "c", 20.0, 0);
  EXPECT_EQ(c.ewma, 15.0);
}

TEST(MovingAverageTest, OrderOfTheMixIsFixed) {
  Frame frame = single(4, 0.1, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 0.3, 0);
  append_one(frame, "c", 0.4, 0);
  EXPECT_EQ(c.ewma, 0.31000000000000005);
  // Fused or regrouped forms of x * alpha + (1 - alpha) * ewma all give other bits here.
  EXPECT_NE(std::fma(0.4, 0.1, (1.0 - 0.1) * 0.3), c.ewma);
  EXPECT_NE(std::fma(1.0 - 0.1, 0.3, 0.4 * 0.1), c.ewma);
  EXPECT_NE(0.1 * (0.4 - 0.3) + 0.3, c.ewma);
}

TEST(MovingAverageTest, NaNAlphaOnlyReachesTheSecondValue) {
  Frame frame = single(4, kNaN, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 7.0, 0);
  EXPECT_EQ(c.ewma, 7.0);
  EXPECT_TRUE(c.ewma_initialized);
  append_one(frame, "c", 8.0, 0);
  EXPECT_TRUE(std::isnan(c.ewma));
}

TEST(MovingAverageTest, AlphaOutsideTheUnitIntervalIsTakenAsItIs) {
  Frame frame = single(4, 2.0, 10);
  ColumnState& c = column(frame, "c");
  append_one(frame, "c", 10.0, 0);
  append_one(frame, "c", 20.0, 0);
  EXPECT_EQ(c.ewma, 30.0);  // 20 * 2 + (1 - 2) * 10
}

TEST(AppendTest, RowTouchesOnlyTheColumnsItNames) {
  Frame frame = make_frame(Names{"a", "b"}, 4, 0.5, 10);
  append_one(frame, "b", 1.0, 0);
  const ColumnSnapshot b = snapshot(column(frame, "b"));
  const Entry row[] = {{"a", 2.0}};
  append_row(frame, row, 1000);  // would age b's entry out, were b named
  EXPECT_EQ(snapshot(column(frame, "b")), b);
  EXPECT_EQ(column(frame, "a").last, 2.0);
  EXPECT_EQ(timestamps_of(column(frame, "b")), (Stamps{0}));
}

TEST(AppendTest, EmptyRowChangesNothing) {
  Frame frame = make_frame(Names{"a"}, 4, 0.5, 10);
  append_one(frame, "a", 3.0, 0);
  const ColumnSnapshot before = snapshot(column(frame, "a"));
  append_row(frame, {}, 1000);
  EXPECT_EQ(snapshot(column(frame, "a")), before);
}

TEST(AppendTest, EveryEntryIsStampedWithTheRowTimestamp) {
  Frame frame = make_frame(Names{"a", "b", "c"}, 4, 0.5, 10);
  const Entry row[] = {{"c", 3.0}, {"a", 1.0}, {"b", 2.0}};
  append_row(frame, row, 42);
  for (const char* name : {"a", "b", "c"}) {
    EXPECT_EQ(timestamps_of(column(frame, name)), (Stamps{42})) << name;
  }
  EXPECT_EQ(column(frame, "b").last, 2.0);
}

// Three columns with some history of different shapes, for the failure tests below.
Frame frame_with_history() {
  Frame frame = make_frame(Names{"a", "b", "c"}, 2, 0.3, 5);
  for (std::int64_t ts = 0; ts < 6; ++ts) {
    const Entry row[] = {{"a", 1.0 + ts}, {"b", 0.5 * ts}};
    append_row(frame, row, ts);
  }
  append_one(frame, "c", -4.0, 2);
  return frame;
}

std::vector<ColumnSnapshot> snapshots(const Frame& frame, const Names& names) {
  std::vector<ColumnSnapshot> out;
  for (const std::string& name : names) out.push_back(snapshot(*find(frame, name)));
  return out;
}

TEST(AppendFailureTest, UnknownNameRaisesAndAppliesNoneOfTheRow) {
  const Names names{"a", "b", "c"};
  Frame frame = frame_with_history();
  const std::vector<ColumnSnapshot> before = snapshots(frame, names);

  const std::vector<std::vector<Entry>> rows = {
      {{"zz", 1.0}, {"a", 2.0}, {"b", 3.0}},
      {{"a", 2.0}, {"zz", 1.0}, {"b", 3.0}},
      {{"a", 2.0}, {"b", 3.0}, {"c", 4.0}, {"zz", 1.0}},
      {{"a", 2.0}, {"A", 1.0}},
  };
  for (const std::vector<Entry>& row : rows) {
    std::string missing;
    for (const Entry& e : row) {
      if (find(frame, e.name) == nullptr) missing = std::string(e.name);
    }
    EXPECT_EQ(fatal_message([&] { append_row(frame, row, 100); }),
              "Column '" + missing + "' does not exist");
    EXPECT_EQ(snapshots(frame, names), before);
  }

  // Every column found before the unknown name, which comes last.
  std::vector<Entry> long_row;
  for (int i = 0; i < 3; ++i) long_row.push_back({names[i], static_cast<double>(i)});
  long_row.push_back({"missing", 0.0});
  EXPECT_EQ(fatal_message([&] { append_row(frame, long_row, 100); }),
            "Column 'missing' does not exist");
  EXPECT_EQ(snapshots(frame, names), before);

  // The frame goes on working.
  const Entry row[] = {{"c", 1.0}};
  append_row(frame, row, 3);
  EXPECT_EQ(column(frame, "c").count, 2u);
}

TEST(AppendFailureTest, MessageCarriesTheNameExactly) {
  Frame frame = make_frame(Names{"a"}, 2, 0.5, 10);
  const std::string odd("it's \0 \xc3\xa9 ", 10);
  EXPECT_EQ(fatal_message([&] { append_one(frame, odd, 1.0, 0); }),
            "Column '" + odd + "' does not exist");
  EXPECT_EQ(fatal_message([&] { append_one(frame, "", 1.0, 0); }), "Column '' does not exist");
}

TEST(AppendFailureTest, TimeWindowThatCannotGrowLeavesEveryColumnAsItWas) {
  REQUIRE_ALLOCATION_CONTROL();
  Names names;
  for (int i = 0; i < 20; ++i) names.push_back("col" + std::to_string(i));
  std::vector<Entry> row;
  for (const std::string& name : names) row.push_back({name, 0.0});
  auto fill = [&](double value) {
    for (Entry& e : row) e.value = value++;
  };
  // Four rows fill every time ring (its first growth gives 4 entries) without evicting, so the
  // next row must grow all twenty.
  auto filled = [&] {
    Frame frame = make_frame(names, 3, 0.5, 1000);
    for (std::int64_t ts = 0; ts < 4; ++ts) {
      fill(static_cast<double>(ts));
      append_row(frame, row, ts);
    }
    return frame;
  };

  // Fail each allocation of the next append in turn, on a fresh frame each time (a growth that
  // succeeded before the failure is kept, and would spare the next attempt).
  std::size_t failures = 0;
  for (std::size_t successes = 0;; ++successes) {
    Frame frame = filled();
    for (const std::string& name : names) ASSERT_TRUE(column(frame, name).time_values.full());
    fill(0.25);
    const std::vector<ColumnSnapshot> before = snapshots(frame, names);
    try {
      FailAllocationsAfter guard(successes);
      append_row(frame, row, 4);
    } catch (const std::bad_alloc&) {
      ++failures;
      ASSERT_EQ(snapshots(frame, names), before) << "allocation " << successes << " failed";
      continue;
    }
    // The attempt that got all its storage applied the row in full.
    Frame reference = filled();
    fill(0.25);
    append_row(reference, row, 4);
    EXPECT_EQ(snapshots(frame, names), snapshots(reference, names));
    break;
  }
  // At least every column's growth was a point of failure.
  EXPECT_GE(failures, names.size());
}

// A refused row gives the columns found before its missing name room in their time windows
// first (so exhausted memory would be reported before the name), then fails and changes nothing.
TEST(ApplyTest, RefusedRowReservesThenChangesNothing) {
  const Names names{"a", "b", "c"};
  Frame frame = make_frame(names, 3, 0.5, 1000);
  std::vector<Entry> row;
  for (const std::string& name : names) row.push_back({name, 1.0});
  for (std::int64_t ts = 0; ts < 4; ++ts) append_row(frame, row, ts);  // every time ring is full
  const std::vector<ColumnSnapshot> before = snapshots(frame, names);
  const std::vector<Update> found = {{&column(frame, "b"), 2.0}, {&column(frame, "a"), 3.0}};
  EXPECT_EQ(fatal_message([&] { frame.refuse(found, "zz"); }), "Column 'zz' does not exist");
  EXPECT_EQ(snapshots(frame, names), before);
  EXPECT_FALSE(column(frame, "a").time_values.full());
  EXPECT_FALSE(column(frame, "b").time_values.full());
  EXPECT_TRUE(column(frame, "c").time_values.full());
}

TEST(AppendTest, SteadyStateAllocatesNothing) {
  REQUIRE_ALLOCATION_CONTROL();
  const Names names{"a", "b", "c"};
  Frame frame = make_frame(names, 4, 0.5, 8);
  std::vector<Entry> row;
  for (const std::string& name : names) row.push_back({name, 1.0});
  std::int64_t ts = 0;
  for (; ts < 50; ++ts) append_row(frame, row, ts);  // both windows reach their steady size
  const std::size_t before = allocation_counters.allocations;
  for (; ts < 2000; ++ts) {
    for (Entry& e : row) e.value = static_cast<double>(ts % 7);
    append_row(frame, row, ts);
  }
  EXPECT_EQ(allocation_counters.allocations, before);
  EXPECT_EQ(column(frame, "a").time_values.size(), 9u);
  EXPECT_EQ(column(frame, "a").window_values.size(), 4u);
}

}  // namespace
}  // namespace quillometer::engine
