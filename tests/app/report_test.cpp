#include "app/report.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "test_support.hpp"

namespace expcoil {

static std::vector<std::string> g_seen;

TEST(Report, ConsoleTextsAndNesting) {
  // clang-format off
  for (const auto& [progress, total, want] : {std::tuple{0.0, 0.0, "abc\n"}, {3.0, 10.0, "abc [3/10]\n"},
       {3.0, 0.0, "abc [3]\n"}, {0.0, 10.0, "abc [0/10]\n"}, {1.5e-5, 2e20, "abc [1.5e-005/2e+020]\n"}}) {
    // clang-format on
    ReportRecord r;
    r.type = REPORT_MESSAGE, r.message = "abc", r.progress = progress, r.progress_total = total;
    EXPECT_EQ(test::run_in_child([&] { console_report_handler(r); }).out, want);
  }
  // Levels nest; a copied message outlives the caller's text; a question's record lives for the call
  // only, and its answer comes back.
  g_seen.clear();
  const ReportHandler previous = set_report_handler([](ReportRecord& r) {
    g_seen.push_back(std::to_string(r.type) + ":" + (r.text() != nullptr ? r.text() : "null"));
    r.answer = r.type == REPORT_QUESTION;
  });
  const std::uint32_t depth = (report_inner("test", 1, REPORT_MESSAGE, "init", 0), report_depth());
  std::string transient = "outer level";
  report_inner("test", 2, REPORT_BEGIN, transient.c_str(), 1);
  transient.assign("overwritten by a text too long for the old storage");
  EXPECT_EQ(report_inner("test", 3, REPORT_QUESTION, "proceed?", 0), 1);
  report_inner("test", 4, REPORT_END, nullptr, 0);
  EXPECT_EQ(report_depth(), depth);
  set_report_handler(previous);
  EXPECT_EQ(g_seen, (std::vector<std::string>{"1:init", "2:outer level", "7:proceed?", "3:outer level"}));
}

// The first fatal report prints once on the console (which then pauses 2.5 s), flushes what was
// buffered and ends the process with 1 while the other threads wait. An invalid type and an END
// without a BEGIN are fatal too (shown through a handler without the pause).
TEST(Report, FatalReports) {
  const test::RunResult child = test::run_in_child([] {
    std::printf("before\n");
    auto fatal = [] { report_inner("t", 1, REPORT_FATAL_ERROR, "boom", 0); };
    std::thread a(fatal), b(fatal), c(fatal);
    a.join(), b.join(), c.join();
  });
  EXPECT_EQ(child.exit_code, 1);
  EXPECT_EQ(child.out, "before\n\n[FATAL ERROR] boom\n");
  // clang-format off
  for (const auto& [type, want] : {std::pair{0, "Unknown ReportType"},
       {REPORT_PROGRESS, "Unknown ReportType"}, {REPORT_END, "Trying to pop empty stack"}}) {
    // clang-format on
    const test::RunResult invalid = test::run_in_child([type] {
      set_report_handler([](ReportRecord& r) { std::printf("%d %s\n", r.type, r.text()); });
      report_inner("test", 1, type, "x", 0);
    });
    EXPECT_EQ(invalid.exit_code, 1) << type;
    EXPECT_EQ(invalid.out, "5 " + std::string(want) + " in report_inner\n") << type;
  }
}

}  // namespace expcoil
