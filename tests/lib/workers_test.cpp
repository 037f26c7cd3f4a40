#include "lib/workers.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace expcoil {

// The splitting rule. Then, with 1, 2, 3 and 7 workers: every item once; range 0, and every range whose
// thread cannot start (the odd ones when the hook refuses them), on the calling thread, the others on
// threads of their own; workers 2 and 5 throw after their work, and the caller gets worker 2's
// exception once every range has run.
TEST(Workers, SplitRunAndForwardTheFirstException) {
  std::string split;
  for (auto [total, n] : {std::pair{16LL, 3u}, std::pair{2LL, 4u}, std::pair{5'000'000'000LL, 3u}}) {
    for (const WorkerRange& r : split_work(total, n))
      split += std::to_string(r.first) + "-" + std::to_string(r.end) + " ";
  }
  EXPECT_EQ(split,
            "0-5 5-10 10-16 0-0 0-1 1-1 1-2 0-1666666666 1666666666-3333333333 3333333333-5000000000 ");
  const std::thread::id caller = std::this_thread::get_id();
  for (unsigned n : {1u, 2u, 3u, 7u}) {
    for (bool refuse_odd : {false, true}) {
      set_thread_start_hook(refuse_odd ? +[](unsigned worker) { return worker % 2 == 0; } : nullptr);
      std::vector<std::atomic<int>> hits(1000);
      std::vector<std::thread::id> thread_of(n, caller);  // a range that never runs leaves items unhit
      int forwarded = -1;
      try {
        run_workers(1000, n, [&](const WorkerRange& range, unsigned worker) {
          thread_of[worker] = std::this_thread::get_id();
          for (std::int64_t i = range.first; i < range.end; ++i) hits[i]++;
          if (worker == 2 || worker == 5) throw static_cast<int>(worker);
        });
      } catch (int worker) {
        forwarded = worker;
      }
      set_thread_start_hook(nullptr);
      EXPECT_EQ(forwarded, n > 2 ? 2 : -1);
      for (std::size_t i = 0; i < hits.size(); ++i) ASSERT_EQ(hits[i].load(), 1) << i;
      for (unsigned w = 0; w < n; ++w) {
        EXPECT_EQ(thread_of[w] == caller, w == 0 || (refuse_odd && w % 2 == 1))
            << n << " " << refuse_odd << " " << w;
      }
    }
  }
}

}  // namespace expcoil
