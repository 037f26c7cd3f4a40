// The one worker scaffold of the program: grid evaluation, both passes of the 2-D FFT and the field
// map split their work items with the same rule and run the pieces the same way.
#pragma once

#include <cstdint>
#include <type_traits>
#include <vector>

namespace expcoil {

// Work items [first, end) of one worker; a range may be empty.
struct WorkerRange {
  std::int64_t first = 0;
  std::int64_t end = 0;
};

// The processors of the machine, asked of the system once per process (a report of 0 counts as 1).
unsigned processor_count();

// Every parallel stage takes its worker count from its caller; 0 stands for processor_count(). Results
// never depend on the count, only the time does.
inline unsigned worker_count(unsigned requested) { return requested != 0 ? requested : processor_count(); }

// The splitting rule: q = total / n in floating point; worker t starts at trunc(t * q) and ends where
// worker t + 1 starts (the last ends at total). Contiguous, in order, covering [0, total) exactly.
std::vector<WorkerRange> split_work(std::int64_t total, unsigned workers);

using WorkerBody = void (*)(void* context, const WorkerRange& range, unsigned worker);

// Splits `total` items among worker_count(workers) workers and runs `body` once per range: ranges
// n-1 .. 1 on threads started in that order, range 0 on the calling thread, then joins every thread.
// A range whose thread cannot be started is run on the calling thread instead, so no range is ever
// skipped. If any range throws, the first exception (lowest worker index) is rethrown once every
// worker has finished.
void run_workers(std::int64_t total, unsigned workers, WorkerBody body, void* context);

template <class Body>
void run_workers(std::int64_t total, unsigned workers, Body&& body) {
  using B = std::remove_reference_t<Body>;
  run_workers(
      total, workers,
      [](void* context, const WorkerRange& range, unsigned worker) {
        (*static_cast<B*>(context))(range, worker);
      },
      static_cast<void*>(&body));
}

// Test hook: when set, it is asked before each thread start and a false answer makes that start
// fail as if the system had refused it.
using ThreadStartHook = bool (*)(unsigned worker);
void set_thread_start_hook(ThreadStartHook hook);

}  // namespace expcoil
