// Tests of the FIFO ring: reservation, growth policy, order across wrap-around and growth, and
// failed growth. Also home of the test binary's counting, fail-on-demand malloc.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "engine/column_state.hpp"
#include "engine/ring.hpp"
#include "test_support.hpp"

using quillometer::engine::test_support::allocation_counters;

#if QUILLOMETER_ALLOCATION_CONTROL
// This binary's malloc and free: they count, and malloc fails on demand (FailAllocationsAfter).
// Both forward to the C library's own allocator, so memory crosses freely between them and its
// other entry points; operator new reaches them through the C++ runtime's default. Kept opaque
// to the optimiser, which would otherwise reason about the engine's calls through their bodies.
extern "C" {
void* __libc_malloc(std::size_t size) noexcept;
void __libc_free(void* p) noexcept;

[[gnu::visibility("default"), gnu::noipa]] void* malloc(std::size_t size) noexcept {
  auto& counters = allocation_counters;
  if (size > counters.largest_request) counters.largest_request = size;
  if (counters.failing) {
    if (counters.successes_left == 0) {
      errno = ENOMEM;
      return nullptr;
    }
    --counters.successes_left;
  }
  void* p = __libc_malloc(size);
  if (p != nullptr) {
    ++counters.allocations;
    ++counters.live;
  }
  return p;
}

[[gnu::visibility("default"), gnu::noipa]] void free(void* p) noexcept {
  if (p == nullptr) return;
  --allocation_counters.live;
  __libc_free(p);
}
}
#endif

namespace quillometer::engine {
namespace {

using test_support::contents;
using test_support::FailAllocationsAfter;

TEST(RingTest, DefaultRingHoldsNoStorage) {
  REQUIRE_ALLOCATION_CONTROL();
  const std::size_t before = allocation_counters.allocations;
  Ring<double> ring;
  EXPECT_EQ(ring.size(), 0u);
  EXPECT_EQ(ring.capacity(), 0u);
  EXPECT_TRUE(ring.empty());
  EXPECT_EQ(allocation_counters.allocations, before);
}

TEST(RingTest, ConstructionReservesExactlyTheCapacity) {
  REQUIRE_ALLOCATION_CONTROL();
  for (std::size_t capacity : {0u, 1u, 3u, 4u, 100u, 1000u}) {
    const std::size_t before = allocation_counters.allocations;
    Ring<double> ring(capacity);
    EXPECT_EQ(ring.capacity(), capacity);
    EXPECT_TRUE(ring.empty());
    // One allocation of exactly that size; none for a zero capacity.
    EXPECT_EQ(allocation_counters.allocations, before + (capacity == 0 ? 0 : 1)) << capacity;
  }
}

TEST(RingTest, ColumnStateReservesItsCountWindowOnly) {
  REQUIRE_ALLOCATION_CONTROL();
  for (std::uint64_t window_size : {0u, 1u, 7u}) {
    const std::size_t before = allocation_counters.allocations;
    const ColumnState c(window_size, 0.5, 10);
    EXPECT_EQ(c.window_values.capacity(), window_size);
    EXPECT_TRUE(c.window_values.empty());
    EXPECT_EQ(c.time_values.capacity(), 0u);
    EXPECT_EQ(allocation_counters.allocations, before + (window_size == 0 ? 0 : 1));
  }
}

// The capacity after each of `pushes` pushes into a ring that starts with `start` slots.
std::vector<std::size_t> capacities_while_pushing(std::size_t start, std::size_t pushes) {
  Ring<int> ring(start);
  std::vector<std::size_t> seen;
  for (std::size_t i = 0; i < pushes; ++i) {
    ring.push_back(static_cast<int>(i));
    seen.push_back(ring.capacity());
  }
  return seen;
}

TEST(RingTest, GrowsOnlyWhenFullToTwiceAndAtLeastFour) {
  using V = std::vector<std::size_t>;
  EXPECT_EQ(capacities_while_pushing(0, 9), (V{4, 4, 4, 4, 8, 8, 8, 8, 16}));
  EXPECT_EQ(capacities_while_pushing(1, 6), (V{1, 4, 4, 4, 8, 8}));
  EXPECT_EQ(capacities_while_pushing(2, 5), (V{2, 2, 4, 4, 8}));
  EXPECT_EQ(capacities_while_pushing(3, 7), (V{3, 3, 3, 6, 6, 6, 12}));
  EXPECT_EQ(capacities_while_pushing(5, 6), (V{5, 5, 5, 5, 5, 10}));
}

TEST(RingTest, ReserveOneGrowsOnlyAFullRing) {
  Ring<int> ring(2);
  ring.push_back(1);
  ring.reserve_one();
  EXPECT_EQ(ring.capacity(), 2u);
  ring.push_back_reserved(2);
  EXPECT_TRUE(ring.full());
  ring.reserve_one();
  EXPECT_EQ(ring.capacity(), 4u);
  EXPECT_EQ(contents(ring), (std::vector<int>{1, 2}));
  ring.push_back_reserved(3);
  EXPECT_EQ(contents(ring), (std::vector<int>{1, 2, 3}));
}

TEST(RingTest, GrowthAllocatesOncePushesThatFitAllocateNothing) {
  REQUIRE_ALLOCATION_CONTROL();
  Ring<double> ring(4);
  const std::size_t before = allocation_counters.allocations;
  for (int i = 0; i < 4; ++i) ring.push_back(i);
  EXPECT_EQ(allocation_counters.allocations, before);
  ring.push_back(4);
  EXPECT_EQ(allocation_counters.allocations, before + 1);
  // Old storage is released when the ring moves to the new one.
  const std::size_t live = allocation_counters.live;
  ring.push_back(5);
  ring.push_back(6);
  ring.push_back(7);
  ring.push_back(8);
  EXPECT_EQ(allocation_counters.live, live);
}

TEST(RingTest, KeepsOrderAcrossWrapAroundAndGrowth) {
  Ring<int> ring(4);
  for (int i = 0; i < 4; ++i) ring.push_back(i);
  ring.pop_front();
  ring.pop_front();
  ring.push_back(4);
  ring.push_back(5);  // wraps: the front sits in the middle of the storage
  EXPECT_EQ(ring.front(), 2);
  EXPECT_EQ(contents(ring), (std::vector<int>{2, 3, 4, 5}));
  ring.push_back(6);  // grows while wrapped
  EXPECT_EQ(ring.capacity(), 8u);
  EXPECT_EQ(contents(ring), (std::vector<int>{2, 3, 4, 5, 6}));
  EXPECT_EQ(ring.front(), 2);
}

// Random pushes, pops and (on a full ring) one-step replacements of the front, checked against a
// deque, on a ring that starts as `ring` does.
template <bool PowerOfTwo>
void check_against_a_deque(Ring<std::int64_t, PowerOfTwo> ring) {
  std::mt19937_64 rng(42);
  std::deque<std::int64_t> model;
  std::int64_t next = 0;
  for (int step = 0; step < 20000; ++step) {
    const std::size_t capacity = ring.capacity();
    const bool was_full = ring.full();
    // Biased towards pushing in the first half and popping in the second, so the ring both
    // grows and drains while wrapped.
    const unsigned roll = rng() % 100;
    if (was_full && !model.empty() && roll < 15) {
      ASSERT_EQ(ring.replace_front(next), model.front()) << step;
      model.pop_front();
      model.push_back(next);
      ++next;
      ASSERT_EQ(ring.capacity(), capacity) << step;
    } else if (model.empty() || roll < (step < 10000 ? 60u : 40u)) {
      ring.push_back(next);
      model.push_back(next);
      ++next;
      if (was_full) {
        ASSERT_EQ(ring.capacity(), std::max<std::size_t>(capacity * 2, 4)) << step;
      } else {
        ASSERT_EQ(ring.capacity(), capacity) << step;
      }
    } else {
      ASSERT_EQ(ring.front(), model.front()) << step;
      ring.pop_front();
      model.pop_front();
      ASSERT_EQ(ring.capacity(), capacity) << step;
    }
    if constexpr (PowerOfTwo) {
      ASSERT_EQ(ring.capacity() & (ring.capacity() - 1), 0u) << step;
    }
    ASSERT_EQ(ring.size(), model.size());
    if (step % 97 == 0) {
      ASSERT_EQ(contents(ring), std::vector<std::int64_t>(model.begin(), model.end())) << step;
    }
  }
}

TEST(RingTest, MatchesADequeUnderRandomPushesAndPops) {
  check_against_a_deque(Ring<std::int64_t>(3));
}

// The time window's ring: it starts empty and only doubles, so a mask wraps its indices.
TEST(RingTest, PowerOfTwoRingMatchesADequeToo) {
  check_against_a_deque(Ring<std::int64_t, true>());
}

TEST(RingTest, StorageIsNeverGivenBack) {
  REQUIRE_ALLOCATION_CONTROL();
  Ring<double> ring;
  for (int i = 0; i < 100; ++i) ring.push_back(i);
  const std::size_t capacity = ring.capacity();
  EXPECT_GE(capacity, 100u);
  while (!ring.empty()) ring.pop_front();
  EXPECT_EQ(ring.capacity(), capacity);
  const std::size_t before = allocation_counters.allocations;
  for (int i = 0; i < 100; ++i) ring.push_back(i);
  EXPECT_EQ(allocation_counters.allocations, before);
  EXPECT_EQ(ring.capacity(), capacity);
}

TEST(RingTest, FailedGrowthLeavesTheRingAsItWas) {
  REQUIRE_ALLOCATION_CONTROL();
  Ring<double> ring(4);
  for (int i = 0; i < 4; ++i) ring.push_back(i);
  ring.pop_front();
  ring.push_back(4.0);  // full, and the front sits in the middle of the storage
  ASSERT_TRUE(ring.full());

  {
    FailAllocationsAfter guard(0);
    EXPECT_THROW(ring.reserve_one(), std::bad_alloc);
    EXPECT_THROW(ring.push_back(5.0), std::bad_alloc);
  }
  EXPECT_EQ(ring.capacity(), 4u);
  EXPECT_EQ(contents(ring), (std::vector<double>{1.0, 2.0, 3.0, 4.0}));
  // And it still grows once memory is there again.
  ring.push_back(5.0);
  EXPECT_EQ(ring.capacity(), 8u);
  EXPECT_EQ(contents(ring), (std::vector<double>{1.0, 2.0, 3.0, 4.0, 5.0}));
}

TEST(RingTest, StorageThatCannotBeHadThrowsBadAlloc) {
  // Beyond what a size_t of bytes can express, and merely beyond the machine.
  EXPECT_THROW(Ring<double>(std::numeric_limits<std::size_t>::max() / 8), std::bad_alloc);
  EXPECT_THROW(Ring<TimedValue>(std::size_t{1} << 60), std::bad_alloc);
  EXPECT_THROW(Ring<double>(std::size_t{1} << 59), std::bad_alloc);
}

// Elements of any size, never constructed: only their storage is asked for.
template <std::size_t Bytes>
struct Blob {
  unsigned char bytes[Bytes];
};

// The largest size `f` asks of malloc while every malloc fails; `f` must throw std::bad_alloc.
// (Throwing allocates the exception object, a small request.)
template <class F>
std::size_t largest_request_of_failing(F f) {
  allocation_counters.largest_request = 0;
  bool threw = false;
  {
    FailAllocationsAfter guard(0);
    try {
      f();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
  }
  EXPECT_TRUE(threw);
  return allocation_counters.largest_request;
}

TEST(RingTest, StorageOfATebibyteOrMoreIsRefusedWithoutAskingTheAllocator) {
  REQUIRE_ALLOCATION_CONTROL();
  constexpr std::size_t kTiB = std::size_t{1} << 40;
  static_assert(Ring<double>::kMaxBytes == kTiB);
  auto asked = [](auto f) { return largest_request_of_failing(f); };

  // Reserved at construction (the count window): refused from 1 TiB on, asked just below.
  EXPECT_LT(asked([] { Ring<double> ring(kTiB / 8); }), kTiB);
  EXPECT_LT(asked([] { Ring<double> ring(kTiB / 8 + 1); }), kTiB);
  EXPECT_LT(asked([] { Ring<double> ring(std::size_t{1} << 59); }), kTiB);
  EXPECT_LT(asked([] { Ring<double> ring(std::size_t(-1)); }), kTiB);
  EXPECT_EQ(asked([] { Ring<double> ring(kTiB / 8 - 1); }), kTiB - 8);
  EXPECT_LT(asked([] { Ring<TimedValue> ring(kTiB / 16); }), kTiB);
  EXPECT_EQ(asked([] { Ring<TimedValue> ring(kTiB / 16 - 1); }), kTiB - 16);
  // An element size that does not divide 1 TiB: the first capacity whose storage reaches it.
  constexpr std::size_t kFirstRefused = (kTiB + 23) / 24;
  EXPECT_LT(asked([] { Ring<Blob<24>> ring(kFirstRefused); }), kTiB);
  EXPECT_EQ(asked([] { Ring<Blob<24>> ring(kFirstRefused - 1); }), (kFirstRefused - 1) * 24);

  // Growth (the time window's ring): an empty ring takes four elements at once.
  Ring<Blob<kTiB / 4>, true> refused;
  EXPECT_LT(asked([&] { refused.reserve_one(); }), kTiB);
  EXPECT_EQ(refused.capacity(), 0u);
  Ring<Blob<kTiB / 4 - 1>, true> below;
  EXPECT_EQ(asked([&] { below.reserve_one(); }), kTiB - 4);
  EXPECT_EQ(below.capacity(), 0u);
}

TEST(RingTest, MoveTransfersStorageAndEmptiesTheSource) {
  REQUIRE_ALLOCATION_CONTROL();
  Ring<int> source(4);
  source.push_back(7);
  source.push_back(8);
  Ring<int> moved(std::move(source));
  EXPECT_EQ(contents(moved), (std::vector<int>{7, 8}));
  EXPECT_EQ(moved.capacity(), 4u);
  EXPECT_EQ(source.capacity(), 0u);  // NOLINT(bugprone-use-after-move): checked on purpose
  EXPECT_TRUE(source.empty());

  const std::size_t live = allocation_counters.live;
  Ring<int> target(16);
  EXPECT_EQ(allocation_counters.live, live + 1);
  target = std::move(moved);  // frees the 16-element storage
  EXPECT_EQ(allocation_counters.live, live);
  EXPECT_EQ(contents(target), (std::vector<int>{7, 8}));
}

}  // namespace
}  // namespace quillometer::engine
