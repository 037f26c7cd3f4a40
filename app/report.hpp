// The report facility: the one path by which any part of the program reports an event. A stack of
// records, one per nesting level, is passed to an installable handler (by default the console).
// A fatal report ends the process with exit code 1 after the handler has run.
//
// Safe to call from several threads at once: one lock is held for the whole call, so the first
// fatal report prints its message once and ends the process while later ones wait.
#pragma once

#include <cstdint>
#include <string>

namespace expcoil {

enum ReportType : std::int32_t {
  REPORT_MESSAGE = 1,
  REPORT_BEGIN = 2,
  REPORT_END = 3,
  REPORT_PROGRESS = 4,  // reserved: report_inner does not accept it
  REPORT_FATAL_ERROR = 5,
  REPORT_WARNING = 6,
  REPORT_QUESTION = 7,
};

struct ReportRecord {
  std::int32_t type = 0;
  const char* source = nullptr;
  std::int32_t line = 0;
  std::uint32_t thread_id = 0;
  const char* message = nullptr;  // the caller's text, when the record does not own a copy
  std::int32_t owns_message = 0;
  std::string message_copy;  // the private copy, when owns_message is 1
  double time = 0.0;         // seconds of report_clock()
  double progress = 0.0;
  double progress_total = 0.0;
  std::int32_t answer = 0;  // set by the handler for a question: 1 yes, 0 no

  const char* text() const { return owns_message ? message_copy.c_str() : message; }
};

using ReportHandler = void (*)(ReportRecord& record);
using ReportClock = double (*)();

// Returns the record's answer after the handler ran (1 only for a question answered yes). With
// copy_message non-zero the text is copied; otherwise it must outlive the record. Does not return
// for REPORT_FATAL_ERROR, nor for an invalid type or an unbalanced REPORT_END (both fatal).
std::int32_t report_inner(const char* source, std::int32_t line, std::int32_t type, const char* message,
                          std::int32_t copy_message);

// Writes to standard output: the message with a progress suffix for messages and levels,
// "\n[FATAL ERROR] %s\n" and a 2500 ms pause for fatal errors, a prompt read from standard input
// for warnings and questions.
void console_report_handler(ReportRecord& record);

// Seconds from an arbitrary origin, monotonic.
double report_clock();

// Null stops all output (reports are still recorded). Returns the previous handler.
ReportHandler set_report_handler(ReportHandler handler);
ReportClock set_report_clock(ReportClock clock);
// Called once, right before a fatal report ends the process (null: nothing).
void set_report_exit_hook(void (*hook)());
// Number of records on the stack (1 once the facility is initialised: the root record).
std::uint32_t report_depth();

}  // namespace expcoil
