#include "lib/workers.hpp"

#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

namespace expcoil {
namespace {

std::atomic<unsigned> g_processor_count{0};
std::atomic<ThreadStartHook> g_thread_start_hook{nullptr};

}  // namespace

unsigned processor_count() {
  unsigned n = g_processor_count.load(std::memory_order_relaxed);
  if (n == 0) {
    n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    g_processor_count.store(n, std::memory_order_relaxed);
  }
  return n;
}

void set_thread_start_hook(ThreadStartHook hook) { g_thread_start_hook.store(hook); }

std::vector<WorkerRange> split_work(std::int64_t total, unsigned workers) {
  if (workers == 0) workers = 1;
  std::vector<WorkerRange> ranges(workers);
  const double q = static_cast<double>(total) / static_cast<double>(workers);
  for (unsigned t = workers; t-- > 0;) {
    ranges[t].first = static_cast<std::int64_t>(static_cast<double>(t) * q);
    ranges[t].end = t == workers - 1 ? total : ranges[t + 1].first;
  }
  return ranges;
}

void run_workers(std::int64_t total, unsigned workers, WorkerBody body, void* context) {
  const unsigned n = worker_count(workers);
  const std::vector<WorkerRange> ranges = split_work(total, n);
  std::vector<std::exception_ptr> errors(n);
  auto run = [&](unsigned t) {
    try {
      body(context, ranges[t], t);
    } catch (...) {
      errors[t] = std::current_exception();
    }
  };

  std::vector<std::thread> threads(n);
  std::vector<unsigned> not_started;
  not_started.reserve(n);  // no allocation may fail once threads are running
  for (unsigned t = n; t-- > 1;) {
    ThreadStartHook hook = g_thread_start_hook.load();
    if (hook != nullptr && !hook(t)) {
      not_started.push_back(t);
      continue;
    }
    try {
      threads[t] = std::thread(run, t);
    } catch (const std::system_error&) {
      not_started.push_back(t);
    }
  }
  run(0);
  for (unsigned t : not_started) run(t);
  for (unsigned t = n; t-- > 1;) {
    if (threads[t].joinable()) threads[t].join();
  }
  for (const std::exception_ptr& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace expcoil
