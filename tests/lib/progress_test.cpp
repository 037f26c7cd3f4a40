#include "lib/progress.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace expcoil {
namespace {

TEST(ProgressLine, PercentRateAndTimeLeft) {
  // 250 of 1000 in 2 s: 125 points/s, 750 left take 6 s; 30 * 0.25 = 7.5 bar cells, 7 of them full.
  const std::string quarter = progress_line("Fieldmap", 250, 1000, 2.0);
  EXPECT_EQ(quarter.rfind("Fieldmap [", 0), 0u) << quarter;
  EXPECT_NE(quarter.find("[#######-----------------------]"), std::string::npos) << quarter;
  EXPECT_NE(quarter.find(" 25% 125 points/s 0:00:06 left"), std::string::npos) << quarter;

  // Just short of the end it must not claim 100 %; 1 point/s with 4000 left is 1 h 6 min 40 s.
  const std::string late = progress_line("F", 999999, 1000000, 999999.0);
  EXPECT_NE(late.find(" 99% 1 points/s 0:00:01 left"), std::string::npos) << late;
  const std::string slow = progress_line("F", 10, 4010, 10.0);
  EXPECT_NE(slow.find("1:06:40 left"), std::string::npos) << slow;

  const std::string done = progress_line("F", 64, 64, 0.5);
  EXPECT_NE(done.find("[##############################] 100% 128 points/s 0:00:00 left"), std::string::npos)
      << done;
  // Nothing done yet: no rate, no estimate.
  EXPECT_NE(progress_line("F", 0, 64, 0.0).find("  0% 0 points/s -:--:-- left"), std::string::npos);
}

std::string read_available(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return text;
    }
  }
}

TEST(ProgressBar, DrawsAndClearsOnATerminalOnly) {
  // A pseudo-terminal stands in for the user's terminal.
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::fcntl(master, F_SETFL, O_NONBLOCK), 0);
  {
    ProgressBar bar("Fieldmap", 200, terminal);
    EXPECT_TRUE(bar.shown());
    bar.add(50);
    bar.add(50);
    bar.refresh();
    bar.finish();
    bar.refresh();  // after finish nothing more is drawn
  }
  const std::string shown = read_available(master);
  EXPECT_EQ(shown.rfind("\rFieldmap [", 0), 0u) << shown;
  EXPECT_NE(shown.find(" 50% "), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\n'), std::string::npos) << "one line, redrawn in place";
  // The last write blanks the line and returns to its start.
  const std::size_t last = shown.rfind('\r', shown.size() - 2);
  ASSERT_NE(last, std::string::npos);
  const std::string clear = shown.substr(last);
  EXPECT_EQ(clear.back(), '\r');
  EXPECT_EQ(clear.find_first_not_of(' ', 1), clear.size() - 1) << "only spaces between the two returns";
  EXPECT_GE(clear.size() - 2, shown.find(" left") + 5 - 1);
  ::close(terminal);
  ::close(master);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ASSERT_EQ(::fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK), 0);
  {
    ProgressBar bar("Fieldmap", 200, pipe_fds[1]);
    EXPECT_FALSE(bar.shown());
    bar.add(100);
    bar.refresh();
  }
  EXPECT_EQ(read_available(pipe_fds[0]), "");
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

}  // namespace
}  // namespace expcoil
