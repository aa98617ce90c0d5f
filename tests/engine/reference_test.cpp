// Long random streams checked bit for bit against a plain reference model of every column,
// written with standard containers and the same formulas in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/frame.hpp"
#include "engine/queries.hpp"
#include "test_support.hpp"

namespace quillometer::engine {
namespace {

using test_support::append_row;
using test_support::bits;
using test_support::Entry;
using test_support::fatal_message;
using test_support::find;
using test_support::kStatistics;
using test_support::make_frame;
using test_support::query;
using test_support::same_double;

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// Whether an entry stamped `front` is older than `width` when a row stamped `ts` arrives, on the
// exact difference ts - front (worked out on magnitudes, so nothing overflows).
bool model_older(std::int64_t ts, std::int64_t front, std::int64_t width) {
  const auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
  if (ts >= front) {
    const std::uint64_t ahead = u(ts) - u(front);  // exact, in [0, 2^64 - 1]
    return width < 0 || ahead > u(width);
  }
  const std::uint64_t behind = u(front) - u(ts);  // exact, in [1, 2^64 - 1]
  // -behind > width, that is behind < -width, which needs width < 0.
  return width < 0 && behind < std::uint64_t{0} - u(width);
}

struct ModelColumn {
  ModelColumn(std::uint64_t window_size, double alpha, std::int64_t time_window)
      : window_size(window_size), time_window(time_window), alpha(alpha) {}

  std::deque<double> window;
  std::uint64_t window_size;
  double window_sum = 0.0;
  double window_sum_sq = 0.0;
  std::deque<std::pair<double, std::int64_t>> timed;
  std::int64_t time_window;
  double time_sum = 0.0;
  double time_sum_sq = 0.0;
  double ewma = 0.0;
  double alpha;
  bool ewma_initialized = false;
  double last = 0.0;
  std::uint64_t count = 0;
  double mean = 0.0;
  double m2 = 0.0;

  void update(double x, std::int64_t ts) {
    last = x;
    count += 1;
    const double n = static_cast<double>(count);
    const double delta = x - mean;
    mean = delta / n + mean;
    m2 = (x - mean) * delta + m2;

    window.push_back(x);
    window_sum = window_sum + x;
    window_sum_sq = window_sum_sq + x * x;
    if (window.size() > window_size) {
      const double y = window.front();
      window.pop_front();
      window_sum = window_sum - y;
      window_sum_sq = window_sum_sq - y * y;
    }

    timed.emplace_back(x, ts);
    time_sum = time_sum + x;
    time_sum_sq = time_sum_sq + x * x;
    while (!timed.empty() && model_older(ts, timed.front().second, time_window)) {
      const double y = timed.front().first;
      timed.pop_front();
      time_sum = time_sum - y;
      time_sum_sq = time_sum_sq - y * y;
    }

    if (ewma_initialized) {
      ewma = x * alpha + (1.0 - alpha) * ewma;
    } else {
      ewma = x;
      ewma_initialized = true;
    }
  }

  static double spread(std::size_t length, double sum, double sum_sq, double* mean_out) {
    const double d = static_cast<double>(length);
    const double m = sum / d;
    const double q = sum_sq / d;
    const double v = q - m * m;
    *mean_out = m;
    return v > 0.0 ? v : 0.0;
  }

  // The ten answers, in the order of kStatistics below.
  std::vector<double> answers() const {
    std::vector<double> out;
    double m = 0.0;
    out.push_back(mean);
    out.push_back(count == 0 ? 0.0 : m2 / static_cast<double>(count));
    out.push_back(last);
    out.push_back(window.empty() ? 0.0 : window_sum / static_cast<double>(window.size()));
    out.push_back(window.empty() ? 0.0
                                 : std::sqrt(spread(window.size(), window_sum, window_sum_sq, &m)));
    double z = 0.0;
    if (!window.empty()) {
      const double v = spread(window.size(), window_sum, window_sum_sq, &m);
      if (v != 0.0) z = (last - m) / std::sqrt(v);
    }
    out.push_back(z);
    out.push_back(timed.empty() ? 0.0 : time_sum / static_cast<double>(timed.size()));
    out.push_back(timed.empty() ? 0.0 : std::sqrt(spread(timed.size(), time_sum, time_sum_sq, &m)));
    out.push_back(timed.empty() || time_window == 0
                      ? 0.0
                      : static_cast<double>(timed.size()) / static_cast<double>(time_window));
    out.push_back(ewma);
    return out;
  }
};

void expect_matches(const Frame& frame, const std::string& name, const ModelColumn& model,
                    bool compare_contents) {
  SCOPED_TRACE("column '" + name + "'");
  const ColumnState* c = find(frame, name);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->count, model.count);
  ASSERT_TRUE(same_double(c->last, model.last));
  ASSERT_TRUE(same_double(c->mean, model.mean)) << c->mean << " vs " << model.mean;
  ASSERT_TRUE(same_double(c->m2, model.m2)) << c->m2 << " vs " << model.m2;
  ASSERT_EQ(c->window_values.size(), model.window.size());
  ASSERT_TRUE(same_double(c->window_sum, model.window_sum));
  ASSERT_TRUE(same_double(c->window_sum_sq, model.window_sum_sq));
  ASSERT_EQ(c->time_values.size(), model.timed.size());
  ASSERT_TRUE(same_double(c->time_sum, model.time_sum));
  ASSERT_TRUE(same_double(c->time_sum_sq, model.time_sum_sq));
  ASSERT_TRUE(same_double(c->ewma, model.ewma));
  ASSERT_EQ(c->ewma_initialized, model.ewma_initialized);
  if (compare_contents) {
    for (std::size_t i = 0; i < model.window.size(); ++i) {
      ASSERT_EQ(bits(c->window_values[i]), bits(model.window[i])) << i;
    }
    for (std::size_t i = 0; i < model.timed.size(); ++i) {
      ASSERT_TRUE(same_double(c->time_values[i].value, model.timed[i].first)) << i;
      ASSERT_EQ(c->time_values[i].ts, model.timed[i].second) << i;
    }
  }
  const std::vector<double> expected = model.answers();
  for (std::size_t i = 0; i < std::size(kStatistics); ++i) {
    const double got = query(frame, name, kStatistics[i].statistic);
    ASSERT_TRUE(same_double(got, expected[i]))
        << kStatistics[i].name << ": " << got << " vs " << expected[i];
  }
}

struct StreamConfig {
  const char* name;
  std::uint64_t window_size;
  std::int64_t time_window;
  double alpha;
  bool extreme_timestamps;  // now and then jump to either end of the range
  std::uint64_t seed;

  friend void PrintTo(const StreamConfig& c, std::ostream* os) { *os << c.name; }
};

class ReferenceStreamTest : public ::testing::TestWithParam<StreamConfig> {};

TEST_P(ReferenceStreamTest, MatchesTheModelBitForBit) {
  const StreamConfig config = GetParam();
  std::mt19937_64 rng(config.seed);
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };

  // "spiky" alone also receives NaN and infinities, so the other columns keep finite sums.
  const std::vector<std::string> names{
      "alpha", "beta", "Beta", "", "gamma ray", "\xce\xb5", std::string("nu\0l", 4), "spiky"};
  std::vector<std::string> col_names = names;
  col_names.push_back("beta");  // a repeated name is one column
  Frame frame = make_frame(col_names, config.window_size, config.alpha, config.time_window);
  ASSERT_EQ(frame.columns.size(), names.size());
  std::map<std::string, ModelColumn> model;
  for (const std::string& name : names) {
    model.emplace(name, ModelColumn(config.window_size, config.alpha, config.time_window));
  }

  const double pool[] = {0.1, 0.3, -2.5, 1e6, 3.0, 0.0, -0.0, 7.125};
  auto draw_value = [&](bool spiky) -> double {
    if (spiky && chance(0.03)) {
      const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                 std::numeric_limits<double>::infinity(),
                                 -std::numeric_limits<double>::infinity()};
      return specials[pick(3)];
    }
    if (chance(0.35)) return pool[pick(std::size(pool))];
    if (chance(0.1)) return static_cast<double>(static_cast<int>(pick(2001)) - 1000);
    if (chance(0.05)) return std::ldexp(std::normal_distribution<double>()(rng), -1000);
    if (chance(0.05)) return std::ldexp(std::normal_distribution<double>()(rng), 500);
    return std::normal_distribution<double>(5.0, 100.0)(rng);
  };

  std::int64_t ts = 0;
  int unknown_rows = 0;
  for (int step = 0; step < 10000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    if (config.extreme_timestamps && chance(0.02)) {
      ts = chance(0.5) ? kMin + static_cast<std::int64_t>(pick(40))
                       : kMax - static_cast<std::int64_t>(pick(40));
    } else if (chance(0.1)) {
      const auto back = static_cast<std::int64_t>(pick(30));
      ts = ts < kMin + back ? kMin : ts - back;
    } else {
      const auto ahead = static_cast<std::int64_t>(pick(4));
      ts = ts > kMax - ahead ? kMax : ts + ahead;
    }

    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (chance(0.5)) chosen.push_back(i);
    }
    std::shuffle(chosen.begin(), chosen.end(), rng);
    std::vector<Entry> row;
    for (std::size_t i : chosen) row.push_back({names[i], draw_value(names[i] == "spiky")});

    if (unknown_rows < 12 && chance(0.005)) {
      // An unknown name anywhere in the row: nothing of the row is applied.
      ++unknown_rows;
      const std::string unknown = chance(0.5) ? "ALPHA" : "gamma ray ";
      row.insert(row.begin() + static_cast<std::ptrdiff_t>(pick(row.size() + 1)),
                 Entry{unknown, 1.0});
      ASSERT_EQ(fatal_message([&] { append_row(frame, row, ts); }),
                "Column '" + unknown + "' does not exist");
    } else {
      append_row(frame, row, ts);
      for (const Entry& e : row) model.at(std::string(e.name)).update(e.value, ts);
    }

    for (const std::string& name : names) {
      expect_matches(frame, name, model.at(name), step % 32 == 0);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
  // The stream did go past the count window and did reach the NaN column.
  const ModelColumn& alpha = model.at("alpha");
  EXPECT_GT(alpha.count, alpha.window.size());
  EXPECT_TRUE(std::isnan(model.at("spiky").mean));
}

const double kNaNAlpha = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Streams, ReferenceStreamTest,
    ::testing::Values(StreamConfig{"Window3Width10", 3, 10, 0.5, false, 1},
                      StreamConfig{"BothZero", 0, 0, 0.1, false, 2},
                      StreamConfig{"Window1NegativeWidth", 1, -3, 1.3, false, 3},
                      StreamConfig{"Window5Width0Extremes", 5, 0, 0.25, true, 4},
                      StreamConfig{"Window17Width50NegativeAlpha", 17, 50, -0.5, false, 5},
                      StreamConfig{"Window64Width1000NaNAlphaExtremes", 64, 1000, kNaNAlpha, true,
                                   6},
                      StreamConfig{"Window2WidestExtremes", 2, kMax, 0.9, true, 7},
                      StreamConfig{"Window8MostNegativeWidthExtremes", 8, kMin, 0.5, true, 8},
                      StreamConfig{"Window100Width40Extremes", 100, 40, 0.05, true, 9}),
    [](const ::testing::TestParamInfo<StreamConfig>& info) { return info.param.name; });

// The exact-difference rule of the model itself, on the corners of the range.
TEST(ReferenceModelTest, OlderThanWindowOnExactDifferences) {
  EXPECT_TRUE(model_older(kMax, -1, 10));
  EXPECT_FALSE(model_older(-2, kMax, 10));
  EXPECT_TRUE(model_older(0, kMin, kMax));
  EXPECT_FALSE(model_older(-1, kMin, kMax));
  EXPECT_FALSE(model_older(kMin, kMax, kMin));     // -(2^64 - 1) is below every width
  EXPECT_TRUE(model_older(kMin, kMin + 1, kMin));  // -1 > -2^63
  EXPECT_FALSE(model_older(5, 5, 0));
  EXPECT_TRUE(model_older(5, 5, -1));
  EXPECT_TRUE(model_older(3, 5, -3));  // -2 > -3
  EXPECT_FALSE(model_older(2, 5, -3));
}

}  // namespace
}  // namespace quillometer::engine
