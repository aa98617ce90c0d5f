// Engine benchmark: nanoseconds per column-value update and per query (name lookup included),
// through the calls the module makes, each set against baselines measured in the same run, with
// the ratios printed at the end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/frame.hpp"
#include "engine/queries.hpp"

namespace {

namespace qe = quillometer::engine;

constexpr std::uint64_t kWindowSize = 100;
constexpr std::int64_t kTimeWindow = 1000;
constexpr double kAlpha = 0.1;
constexpr std::size_t kValueCount = 4096;  // a power of two, cycled through

// Every benchmark reports its time per processed item under this counter.
constexpr const char* kPerItem = "per_item";

std::vector<std::string> column_names(std::size_t n) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < n; ++i) names.push_back("column_" + std::to_string(i));
  return names;
}

// The names with their hashes, as the module builds a frame; std::hash stands in for the
// interpreter's str hash, which a str caches, so a lookup brings it ready.
std::vector<qe::HashedName> hashed(const std::vector<std::string>& names) {
  std::vector<qe::HashedName> out;
  for (const std::string& name : names) out.push_back({name, std::hash<std::string_view>{}(name)});
  return out;
}

qe::Frame make_frame(const std::vector<qe::HashedName>& names) {
  return qe::Frame(names, kWindowSize, kAlpha, kTimeWindow);
}

// A row as the module applies it: each name looked up, then the updates applied together.
void append(qe::Frame& frame, const std::vector<qe::HashedName>& names, const double* values,
            std::int64_t ts) {
  qe::Update updates[64];
  for (std::size_t i = 0; i < names.size(); ++i) {
    updates[i] = {frame.find_column({names[i].text, names[i].hash}), values[i]};
  }
  frame.apply(std::span(updates, names.size()), ts);
}

// Finite values of ordinary magnitude, so no benchmark runs into subnormal or NaN arithmetic.
const std::vector<double>& values() {
  static const std::vector<double> v = [] {
    std::mt19937_64 rng(12345);
    std::normal_distribution<double> normal(50.0, 10.0);
    std::vector<double> out(kValueCount);
    for (double& x : out) x = normal(rng);
    return out;
  }();
  return v;
}

void report_items(benchmark::State& state, std::int64_t items_per_iteration) {
  const auto items = static_cast<double>(state.iterations() * items_per_iteration);
  state.SetItemsProcessed(state.iterations() * items_per_iteration);
  state.counters[kPerItem] =
      benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One row naming every column, timestamps advancing by one, so that each row evicts one entry
// from each full window.
void BM_Append(benchmark::State& state) {
  const auto columns = static_cast<std::size_t>(state.range(0));
  const std::vector<qe::HashedName> names = hashed(column_names(columns));
  qe::Frame frame = make_frame(names);
  std::vector<double> row(columns);
  const std::vector<double>& v = values();

  std::int64_t ts = 0;
  std::size_t next = 0;
  auto step = [&] {
    for (double& x : row) x = v[next++ & (kValueCount - 1)];
    append(frame, names, row.data(), ts++);
  };
  for (int i = 0; i < 2 * kTimeWindow; ++i) step();  // both windows at their steady size
  for (auto _ : state) {
    step();
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(frame.find_column({names[0].text, names[0].hash})->mean);
  report_items(state, static_cast<std::int64_t>(columns));
}

// Baseline: the running statistics alone (last, count, Welford mean and m2), no windows, no
// lookup; the floor of any per-value update.
void BM_BaselineWelford(benchmark::State& state) {
  struct Running {
    double last = 0.0;
    std::uint64_t count = 0;
    double mean = 0.0;
    double m2 = 0.0;
  };
  const auto columns = static_cast<std::size_t>(state.range(0));
  std::vector<Running> running(columns);
  const std::vector<double>& v = values();
  std::size_t next = 0;
  for (auto _ : state) {
    for (Running& r : running) {
      const double x = v[next++ & (kValueCount - 1)];
      r.last = x;
      r.count += 1;
      const double delta = x - r.mean;
      r.mean = delta / static_cast<double>(r.count) + r.mean;
      r.m2 = (x - r.mean) * delta + r.m2;
    }
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(running[0].m2);
  report_items(state, static_cast<std::int64_t>(columns));
}

// Baseline: the straightforward implementation of the same update, a std::unordered_map from
// std::string to a column with std::deque windows.
void BM_BaselineMapDeque(benchmark::State& state) {
  struct Column {
    std::deque<double> window;
    double window_sum = 0.0, window_sum_sq = 0.0;
    std::deque<std::pair<double, std::int64_t>> timed;
    double time_sum = 0.0, time_sum_sq = 0.0;
    double ewma = 0.0;
    bool ewma_initialized = false;
    double last = 0.0;
    std::uint64_t count = 0;
    double mean = 0.0, m2 = 0.0;
  };
  const auto columns = static_cast<std::size_t>(state.range(0));
  const std::vector<std::string> names = column_names(columns);
  std::unordered_map<std::string, Column> table;
  for (const std::string& name : names) table[name];
  std::vector<std::pair<std::string, double>> row;
  for (const std::string& name : names) row.emplace_back(name, 0.0);
  const std::vector<double>& v = values();

  std::int64_t ts = 0;
  std::size_t next = 0;
  auto step = [&] {
    for (auto& entry : row) entry.second = v[next++ & (kValueCount - 1)];
    for (const auto& [name, x] : row) {
      Column& c = table.find(name)->second;
      c.last = x;
      c.count += 1;
      const double delta = x - c.mean;
      c.mean = delta / static_cast<double>(c.count) + c.mean;
      c.m2 = (x - c.mean) * delta + c.m2;
      const double x_sq = x * x;
      c.window.push_back(x);
      c.window_sum += x;
      c.window_sum_sq += x_sq;
      if (c.window.size() > kWindowSize) {
        const double y = c.window.front();
        c.window.pop_front();
        c.window_sum -= y;
        c.window_sum_sq -= y * y;
      }
      c.timed.emplace_back(x, ts);
      c.time_sum += x;
      c.time_sum_sq += x_sq;
      while (!c.timed.empty() && ts - c.timed.front().second > kTimeWindow) {
        const double y = c.timed.front().first;
        c.timed.pop_front();
        c.time_sum -= y;
        c.time_sum_sq -= y * y;
      }
      if (c.ewma_initialized) {
        c.ewma = x * kAlpha + (1.0 - kAlpha) * c.ewma;
      } else {
        c.ewma = x;
        c.ewma_initialized = true;
      }
    }
    ++ts;
  };
  for (int i = 0; i < 2 * kTimeWindow; ++i) step();
  for (auto _ : state) {
    step();
    benchmark::ClobberMemory();
  }
  benchmark::DoNotOptimize(table.begin()->second.mean);
  report_items(state, static_cast<std::int64_t>(columns));
}

// A frame of eight filled columns, queried by name in turn.
constexpr std::size_t kQueryColumns = 8;

template <qe::Statistic S>
void BM_Query(benchmark::State& state) {
  const std::vector<qe::HashedName> names = hashed(column_names(kQueryColumns));
  qe::Frame frame = make_frame(names);
  const std::vector<double>& v = values();
  for (std::int64_t ts = 0; ts < 2 * kTimeWindow; ++ts) {
    append(frame, names, &v[(static_cast<std::size_t>(ts) * kQueryColumns) & (kValueCount - 1)],
           ts);
  }
  std::vector<qe::ColumnKey> asked;
  for (const qe::HashedName& name : names) asked.push_back({name.text, name.hash});
  std::size_t next = 0;
  for (auto _ : state) {
    double result = qe::query<S>(frame, asked[next++ & (kQueryColumns - 1)]);
    benchmark::DoNotOptimize(result);
  }
  report_items(state, 1);
}

// Baseline: a std::unordered_map<std::string, double> lookup and read, names in the same turn.
void BM_BaselineMapLookup(benchmark::State& state) {
  const std::vector<std::string> names = column_names(kQueryColumns);
  std::unordered_map<std::string, double> table;
  for (std::size_t i = 0; i < names.size(); ++i) table[names[i]] = values()[i];
  std::size_t next = 0;
  for (auto _ : state) {
    double result = table.find(names[next++ & (kQueryColumns - 1)])->second;
    benchmark::DoNotOptimize(result);
  }
  report_items(state, 1);
}

BENCHMARK(BM_BaselineWelford)->Arg(1)->Arg(8);
BENCHMARK(BM_BaselineMapDeque)->Arg(1)->Arg(8);
BENCHMARK(BM_Append)->Arg(1)->Arg(8);
BENCHMARK(BM_BaselineMapLookup);
BENCHMARK(BM_Query<&qe::mean>)->Name("BM_Query/mean");
BENCHMARK(BM_Query<&qe::rolling_std>)->Name("BM_Query/rolling_std");
BENCHMARK(BM_Query<&qe::zscore>)->Name("BM_Query/zscore");
BENCHMARK(BM_Query<&qe::rate>)->Name("BM_Query/rate");
BENCHMARK(BM_Query<&qe::time_std>)->Name("BM_Query/time_std");

// The console report, plus a summary of nanoseconds per item and ratios to the baselines.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto it = run.counters.find(kPerItem);
      if (it == run.counters.end()) continue;
      Mean& m = per_item_ns_[run.benchmark_name()];
      m.sum += it->second.value * 1e9;
      m.n += 1;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nSummary (ns per item; ratio = this / baseline, same run)\n");
    for (const char* columns : {"1", "8"}) {
      const std::string append = std::string("BM_Append/") + columns;
      line(append, "ns/value",
           {std::string("BM_BaselineWelford/") + columns,
            std::string("BM_BaselineMapDeque/") + columns});
    }
    for (const char* stat : {"mean", "rolling_std", "zscore", "rate", "time_std"}) {
      line(std::string("BM_Query/") + stat, "ns/query", {"BM_BaselineMapLookup"});
    }
    std::fflush(stdout);
  }

 private:
  struct Mean {
    double sum = 0.0;
    int n = 0;
    double value() const { return sum / n; }
  };

  void line(const std::string& name, const char* unit, const std::vector<std::string>& bases) {
    const auto it = per_item_ns_.find(name);
    if (it == per_item_ns_.end()) return;  // filtered out
    const double ns = it->second.value();
    std::printf("  %-22s %8.2f %s", name.c_str(), ns, unit);
    for (const std::string& base : bases) {
      const auto b = per_item_ns_.find(base);
      if (b == per_item_ns_.end()) continue;
      std::printf("   %6.2fx %s (%.2f)", ns / b->second.value(), base.c_str(), b->second.value());
    }
    std::printf("\n");
  }

  std::map<std::string, Mean> per_item_ns_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
