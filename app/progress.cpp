#include "app/progress.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <system_error>
#include <utility>

namespace expcoil {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRefreshInterval = std::chrono::milliseconds(250);

void append_two_digits(std::string& s, long long v) {
  s += static_cast<char>('0' + v / 10);
  s += static_cast<char>('0' + v % 10);
}

}  // namespace

std::string progress_line(std::string_view label, std::int64_t done, std::int64_t total, double seconds) {
  if (done > total) done = total;
  if (done < 0) done = 0;
  // Whole percent, rounded down, so 100 % appears only when everything is done.
  const long long percent = total > 0 ? static_cast<long long>(done * 100.0L / total) : 100;
  const int filled =
      total > 0 ? static_cast<int>(done * static_cast<long double>(kBarWidth) / total) : kBarWidth;

  std::string line(label);
  line += " [";
  line.append(static_cast<std::size_t>(filled), '#');
  line.append(static_cast<std::size_t>(kBarWidth - filled), '-');
  line += "] ";
  const std::string pct = std::to_string(percent);
  line.append(3 - std::min<std::size_t>(3, pct.size()), ' ');
  line += pct;
  line += "% ";

  const double rate = seconds > 0.0 ? static_cast<double>(done) / seconds : 0.0;
  line += std::to_string(std::llround(rate));
  line += " points/s ";
  if (rate > 0.0) {
    const double left = static_cast<double>(total - done) / rate;
    const long long s = left < 3.6e9 ? std::llround(left) : 3'600'000'000LL;
    line += std::to_string(s / 3600);
    line += ':';
    append_two_digits(line, s / 60 % 60);
    line += ':';
    append_two_digits(line, s % 60);
  } else {
    line += "-:--:--";
  }
  line += " left";
  return line;
}

ProgressBar::ProgressBar(std::string label, std::int64_t total, int fd)
    : label_(std::move(label)),
      total_(total),
      fd_(fd),
      enabled_(::isatty(fd) == 1),
      start_(std::chrono::steady_clock::now()) {
  if (!enabled_) return;
  try {
    reporter_ = std::thread([this] { report_loop(); });
  } catch (const std::system_error&) {
    enabled_ = false;  // no bar rather than no field map
  }
}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::report_loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, kRefreshInterval, [this] { return stop_; })) draw_locked();
}

void ProgressBar::refresh() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (!stop_) draw_locked();
}

void ProgressBar::draw_locked() {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const std::string line = progress_line(label_, done_.load(std::memory_order_relaxed), total_, seconds);
  // Overwrites the previous line in place; spaces cover what a longer earlier line left behind.
  std::string text;
  text += '\r';
  text += line;
  if (line.size() < drawn_width_) text.append(drawn_width_ - line.size(), ' ');
  drawn_width_ = std::max(drawn_width_, line.size());
  write_text(text);
}

void ProgressBar::finish() {
  if (!enabled_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return;
    stop_ = true;
  }
  wake_.notify_all();
  if (reporter_.joinable()) reporter_.join();
  if (drawn_width_ > 0) {
    std::string text = "\r";
    text.append(drawn_width_, ' ');
    text += '\r';
    write_text(text);
    drawn_width_ = 0;
  }
}

void ProgressBar::write_text(std::string_view text) {
  // The display is a courtesy: a terminal that refuses a write loses the line, nothing more.
  while (!text.empty()) {
    const ssize_t n = ::write(fd_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace expcoil
