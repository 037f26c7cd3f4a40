// A one-line progress bar on a terminal for long parallel stages.
//
// Workers report finished items with add(), a relaxed atomic increment and nothing else, so they never
// wait on each other or on the display. A small reporter thread redraws the line a few times a second
// and clears it when the stage ends. When the descriptor is not a terminal nothing is started and
// nothing is written, so redirected output stays exactly as it would be without the bar.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace expcoil {

// "<label> [#####-----]  42% 1.25e+06 points/s 0:01:05 left": the bar, the whole percentage done, the
// rate over `seconds` and the time the rest takes at that rate ("-:--:--" while nothing is done).
std::string progress_line(std::string_view label, std::int64_t done, std::int64_t total, double seconds);

class ProgressBar {
 public:
  // Shows the progress of `total` items on `fd` when it is a terminal.
  ProgressBar(std::string label, std::int64_t total, int fd = 2);
  // Stops the reporter and clears the line.
  ~ProgressBar();
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void add(std::int64_t items) noexcept { done_.fetch_add(items, std::memory_order_relaxed); }
  // The counter a stage increases as it finishes items (the library's stages take it by pointer).
  std::atomic<std::int64_t>* counter() noexcept { return &done_; }
  bool shown() const { return enabled_; }
  // Redraws the line now (the reporter thread calls it periodically).
  void refresh();
  // Stops the reporter and clears the line; later calls do nothing.
  void finish();

 private:
  void draw_locked();  // with mutex_ held
  void write_text(std::string_view text);
  void report_loop();

  std::string label_;
  std::int64_t total_;
  int fd_;
  bool enabled_;
  std::atomic<std::int64_t> done_{0};
  std::chrono::steady_clock::time_point start_;
  std::size_t drawn_width_ = 0;  // characters of the line on screen, touched by one thread at a time
  std::mutex mutex_;             // only between the reporter and finish(), never taken by workers
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread reporter_;
};

}  // namespace expcoil
