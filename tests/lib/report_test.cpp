#include "lib/report.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace expcoil {
namespace {

using test::run_in_child;

std::string handled(ReportRecord record) {
  return run_in_child([&] { console_report_handler(record); }).out;
}

TEST(Report, ConsoleMessagesWithProgressSuffix) {
  ReportRecord r;
  r.type = REPORT_MESSAGE;
  r.message = "abc";
  EXPECT_EQ(handled(r), "abc\n");
  r.progress = 3, r.progress_total = 10;
  EXPECT_EQ(handled(r), "abc [3/10]\n");
  r.progress = 3, r.progress_total = 0;
  EXPECT_EQ(handled(r), "abc [3]\n");
  r.progress = 0, r.progress_total = 10;
  EXPECT_EQ(handled(r), "abc [0/10]\n");
  r.progress = 1.5e-5, r.progress_total = 2e20;
  EXPECT_EQ(handled(r), "abc [1.5e-005/2e+020]\n");
}

TEST(Report, MessageGoesThroughTheHandlerOnce) {
  test::RunResult child = run_in_child([] { report_inner("test", 1, REPORT_MESSAGE, "abc", 0); });
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_EQ(child.out, "abc\n");
}

std::vector<std::string>* g_seen = nullptr;
void recording_handler(ReportRecord& r) {
  g_seen->push_back(std::to_string(r.type) + ":" + (r.text() != nullptr ? r.text() : "null"));
  if (r.type == REPORT_QUESTION) r.answer = 1;
}

TEST(Report, LevelsNestAndCopiedMessagesOutliveTheCaller) {
  std::vector<std::string> seen;
  g_seen = &seen;
  ReportHandler previous = set_report_handler(recording_handler);
  const std::uint32_t depth = (report_inner("test", 1, REPORT_MESSAGE, "init", 0), report_depth());
  {
    std::string transient = "outer level";
    report_inner("test", 2, REPORT_BEGIN, transient.c_str(), 1);
    transient.assign("overwritten");
  }
  EXPECT_EQ(report_depth(), depth + 1);
  EXPECT_EQ(report_inner("test", 3, REPORT_QUESTION, "proceed?", 0), 1);
  EXPECT_EQ(report_depth(), depth + 1);  // the question's record is gone again
  report_inner("test", 4, REPORT_END, nullptr, 0);
  EXPECT_EQ(report_depth(), depth);
  set_report_handler(previous);
  g_seen = nullptr;
  EXPECT_EQ(seen, (std::vector<std::string>{"1:init", "2:outer level", "7:proceed?", "3:outer level"}));
}

TEST(Report, FatalErrorPrintsOncePausesAndExits) {
  test::RunResult child = run_in_child([] {
    std::printf("before\n");  // buffered output must reach the file despite the exit
    report_inner("fft", 46, REPORT_FATAL_ERROR, "Some moron called fft with a non-power-of-two-sized array",
                 0);
    std::printf("not reached\n");
  });
  EXPECT_EQ(child.exit_code, 1);
  EXPECT_EQ(child.out, "before\n\n[FATAL ERROR] Some moron called fft with a non-power-of-two-sized array\n");
  EXPECT_GE(child.seconds, 2.4);
}

TEST(Report, ConcurrentFatalReportsPrintOnce) {
  test::RunResult child = run_in_child([] {
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([] { report_inner("fft", 46, REPORT_FATAL_ERROR, "boom", 0); });
    }
    for (std::thread& t : threads) t.join();
  });
  EXPECT_EQ(child.exit_code, 1);
  EXPECT_EQ(child.out, "\n[FATAL ERROR] boom\n");
}

TEST(Report, InvalidTypesAndUnbalancedEndAreFatal) {
  for (std::int32_t type : {0, 4}) {
    test::RunResult child = run_in_child([type] { report_inner("test", 1, type, "x", 0); });
    EXPECT_EQ(child.exit_code, 1) << type;
    EXPECT_EQ(child.out, "\n[FATAL ERROR] Unknown ReportType in report_inner\n") << type;
  }
  test::RunResult child = run_in_child([] { report_inner("test", 1, REPORT_END, nullptr, 0); });
  EXPECT_EQ(child.exit_code, 1);
  EXPECT_EQ(child.out, "\n[FATAL ERROR] Trying to pop empty stack in report_inner\n");
}

}  // namespace
}  // namespace expcoil
