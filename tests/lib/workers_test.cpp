#include "lib/workers.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace expcoil {
namespace {

std::vector<std::pair<std::int64_t, std::int64_t>> pairs(const std::vector<WorkerRange>& ranges) {
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  for (const WorkerRange& r : ranges) out.emplace_back(r.first, r.end);
  return out;
}

TEST(Workers, SplittingRule) {
  using P = std::vector<std::pair<std::int64_t, std::int64_t>>;
  EXPECT_EQ(pairs(split_work(16, 3)), (P{{0, 5}, {5, 10}, {10, 16}}));
  EXPECT_EQ(pairs(split_work(2, 4)), (P{{0, 0}, {0, 1}, {1, 1}, {1, 2}}));
  EXPECT_EQ(pairs(split_work(7, 1)), (P{{0, 7}}));
  EXPECT_EQ(pairs(split_work(0, 3)), (P{{0, 0}, {0, 0}, {0, 0}}));
  // Totals beyond 32 bits split just as well.
  const std::int64_t big = 5'000'000'000;
  const auto ranges = split_work(big, 7);
  EXPECT_EQ(ranges.front().first, 0);
  EXPECT_EQ(ranges.back().end, big);
  for (std::size_t t = 1; t < ranges.size(); ++t) EXPECT_EQ(ranges[t].first, ranges[t - 1].end);
}

class WorkerCount : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { set_processor_count(GetParam()); }
  void TearDown() override {
    set_processor_count(0);
    set_thread_start_hook(nullptr);
  }
};

TEST_P(WorkerCount, EveryItemRunsExactlyOnceAndRangeZeroOnTheCaller) {
  const std::int64_t total = 1000;
  std::vector<std::atomic<int>> hits(total);
  std::thread::id range0_thread;
  run_workers(total, [&](const WorkerRange& range, unsigned worker) {
    if (worker == 0) range0_thread = std::this_thread::get_id();
    for (std::int64_t i = range.first; i < range.end; ++i) hits[i]++;
  });
  for (std::int64_t i = 0; i < total; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  EXPECT_EQ(range0_thread, std::this_thread::get_id());
}

TEST_P(WorkerCount, RangesWhoseThreadCannotStartRunOnTheCaller) {
  set_thread_start_hook([](unsigned worker) { return worker % 2 == 0; });  // odd workers fail to start
  const std::int64_t total = 101;
  std::vector<std::atomic<int>> hits(total);
  std::mutex m;
  std::vector<std::thread::id> thread_of(GetParam());
  run_workers(total, [&](const WorkerRange& range, unsigned worker) {
    {
      std::lock_guard<std::mutex> g(m);
      thread_of[worker] = std::this_thread::get_id();
    }
    for (std::int64_t i = range.first; i < range.end; ++i) hits[i]++;
  });
  for (std::int64_t i = 0; i < total; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
  for (unsigned w = 0; w < GetParam(); ++w) {
    const bool on_caller = thread_of[w] == std::this_thread::get_id();
    EXPECT_EQ(on_caller, w == 0 || w % 2 == 1) << "worker " << w;
  }
}

TEST_P(WorkerCount, FirstExceptionReachesTheCallerAfterAllWorkersFinish) {
  std::atomic<int> finished{0};
  EXPECT_THROW(run_workers(50,
                           [&](const WorkerRange&, unsigned worker) {
                             if (worker == GetParam() - 1) throw std::runtime_error("worker failed");
                             ++finished;
                           }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), static_cast<int>(GetParam()) - 1);
}

INSTANTIATE_TEST_SUITE_P(Counts, WorkerCount, ::testing::Values(1u, 2u, 3u, 7u, 70u));

TEST(Workers, ProcessorCountIsPositiveAndOverridable) {
  EXPECT_GE(processor_count(), 1u);
  set_processor_count(5);
  EXPECT_EQ(processor_count(), 5u);
  set_processor_count(0);
  EXPECT_GE(processor_count(), 1u);
}

}  // namespace
}  // namespace expcoil
