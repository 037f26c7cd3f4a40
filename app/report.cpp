#include "app/report.hpp"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "lib/grow_list.hpp"
#include "lib/number_format.hpp"

namespace expcoil {
namespace {

struct ReportState {
  std::recursive_mutex lock;  // recursive: an invalid report turns into a fatal report of its own
  GrowList<ReportRecord>* stack = nullptr;
  bool initialised = false;
  double start_time = 0.0;
  ReportHandler handler = console_report_handler;
  ReportClock clock = nullptr;
};

// Never destroyed: a fatal report from a worker thread may still be running while the process
// exits, and the stack lives until the end of the process anyway.
ReportState& state() {
  static ReportState* s = new ReportState;
  return *s;
}

double steady_seconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::atomic<void (*)()> g_exit_hook{nullptr};

void end_process() {
  if (void (*hook)() = g_exit_hook.load()) hook();
  std::fflush(nullptr);
  // _Exit rather than exit: worker threads of the failing stage may still be running, and static
  // destructors must not pull objects from under them. Everything buffered is flushed above.
  std::_Exit(1);
}

void clear(ReportRecord& r) { r = ReportRecord{}; }

}  // namespace

double report_clock() {
  ReportClock clock = state().clock;
  return clock != nullptr ? clock() : steady_seconds();
}

ReportHandler set_report_handler(ReportHandler handler) {
  std::lock_guard<std::recursive_mutex> guard(state().lock);
  ReportHandler previous = state().handler;
  state().handler = handler;
  return previous;
}

ReportClock set_report_clock(ReportClock clock) {
  std::lock_guard<std::recursive_mutex> guard(state().lock);
  ReportClock previous = state().clock;
  state().clock = clock;
  return previous;
}

void set_report_exit_hook(void (*hook)()) { g_exit_hook.store(hook); }

std::uint32_t report_depth() {
  std::lock_guard<std::recursive_mutex> guard(state().lock);
  return state().stack != nullptr ? state().stack->count() : 0;
}

std::int32_t report_inner(const char* source, std::int32_t line, std::int32_t type, const char* message,
                          std::int32_t copy_message) {
  ReportState& s = state();
  std::lock_guard<std::recursive_mutex> guard(s.lock);
  if (!s.initialised) {
    s.stack = new GrowList<ReportRecord>;
    s.stack->append(ReportRecord{});
    s.start_time = report_clock();
    s.initialised = true;
  }
  GrowList<ReportRecord>& stack = *s.stack;

  if (type == REPORT_END) {
    if (stack.count() <= 1) {
      report_inner("report", 92, REPORT_FATAL_ERROR, "Trying to pop empty stack in report_inner", 0);
    }
    stack.remove(stack.count() - 1);
    ReportRecord& level = stack[stack.count() - 1];
    if (s.handler != nullptr) {
      level.type = REPORT_END;
      s.handler(level);
    }
    clear(level);
    return 0;
  }

  const bool accepted = type == REPORT_MESSAGE || type == REPORT_BEGIN || type == REPORT_FATAL_ERROR ||
                        type == REPORT_WARNING || type == REPORT_QUESTION;
  if (!accepted) report_inner("report", 126, REPORT_FATAL_ERROR, "Unknown ReportType in report_inner", 0);

  ReportRecord record;
  record.type = type;
  record.source = source;
  record.line = line;
  record.thread_id = static_cast<std::uint32_t>(::gettid());
  if (copy_message != 0 && message != nullptr) {
    record.message_copy = message;
    record.owns_message = 1;
  } else {
    record.message = message;
  }
  record.time = report_clock();

  const bool stacked = type == REPORT_WARNING || type == REPORT_QUESTION;
  if (stacked) {
    stack.append(std::move(record));
  } else {
    stack[stack.count() - 1] = std::move(record);
  }

  std::int32_t answer = 0;
  if (s.handler != nullptr) {
    ReportRecord& top = stack[stack.count() - 1];
    s.handler(top);
    answer = top.answer;
  }

  switch (type) {
    case REPORT_BEGIN:
      stack.append(ReportRecord{});
      break;
    case REPORT_FATAL_ERROR:
      end_process();
      break;
    case REPORT_WARNING:
    case REPORT_QUESTION:
      stack.remove(stack.count() - 1);
      break;
    default:
      break;
  }
  return answer;
}

void console_report_handler(ReportRecord& record) {
  const char* text = record.text();
  switch (record.type) {
    case REPORT_FATAL_ERROR:
      std::printf("\n[FATAL ERROR] %s\n", text != nullptr ? text : "(null)");
      std::fflush(stdout);
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      break;
    case REPORT_WARNING: {
      std::printf("\n[WARNING] %s\nPress any key to continue program\n", text != nullptr ? text : "(null)");
      std::fflush(stdout);
      std::getchar();
      break;
    }
    case REPORT_QUESTION: {
      std::printf("%s (Y/N) ", text != nullptr ? text : "(null)");
      std::fflush(stdout);
      int c = std::getchar();
      while (c != EOF && (c == ' ' || (c >= '\t' && c <= '\r'))) c = std::getchar();
      int first = c;
      while (c != EOF && !(c == ' ' || (c >= '\t' && c <= '\r'))) c = std::getchar();
      if (first >= 'A' && first <= 'Z') first += 32;
      record.answer = first == 'y' ? 1 : 0;
      break;
    }
    default: {
      if (text != nullptr) std::fputs(text, stdout);
      const double p = record.progress;
      const double t = record.progress_total;
      if (t > 0) {
        std::printf(" [%s/%s]", format_general(p, 6).c_str(), format_general(t, 6).c_str());
      } else if (p > 0) {
        std::printf(" [%s]", format_general(p, 6).c_str());
      }
      std::fputc('\n', stdout);
      break;
    }
  }
}

}  // namespace expcoil
