#include "app/progress.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

namespace expcoil {

// Shows half of 200 items on `to` and returns what arrives at `from` (the terminal may pass it on late).
static std::string show_half(int to, int from) {
  ProgressBar bar("Fieldmap", 200, to);
  bar.add(100);
  bar.refresh();
  bar.finish();
  bar.refresh();  // nothing more after finish
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  for (pollfd p{from, POLLIN, 0}; ::poll(&p, 1, 200) > 0 && (n = ::read(from, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

TEST(Progress, LineAndBarOnATerminalOnly) {
  // 250 of 1000 in 2 s: 125 points/s, 750 left take 6 s; 30 * 0.25 = 7.5 bar cells, 7 of them full.
  EXPECT_EQ(progress_line("Fieldmap", 250, 1000, 2.0),
            "Fieldmap [#######-----------------------]  25% 125 points/s 0:00:06 left");
  // Not 100 % before the end; 1 point/s with 4000 left is 1 h 6 min 40 s; no estimate before a start.
  EXPECT_EQ(progress_line("F", 999999, 1000000, 999999.0).substr(35), " 99% 1 points/s 0:00:01 left");
  EXPECT_EQ(progress_line("F", 10, 4010, 10.0).substr(35), "  0% 1 points/s 1:06:40 left");
  EXPECT_EQ(progress_line("F", 0, 64, 0.0).substr(35), "  0% 0 points/s -:--:-- left");
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);  // a pseudo-terminal stands in for the user's
  ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
  const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  int pipe_fds[2];
  ASSERT_TRUE(terminal >= 0 && ::pipe(pipe_fds) == 0);
  // One line redrawn in place (the reporter thread may add drawings), then blanked: "\r", at least as many
  // spaces as it had, "\r".
  const std::string shown = show_half(terminal, master);
  const std::size_t blank = shown.rfind('\r', shown.size() - 2);
  ASSERT_NE(shown.find("\rFieldmap [###############---------------]  50% "), std::string::npos) << shown;
  EXPECT_TRUE(shown.rfind("\rFieldmap [", 0) == 0 && shown.find('\n') == std::string::npos) << shown;
  EXPECT_TRUE(shown.back() == '\r' && shown.find_first_not_of(' ', blank + 1) == shown.size() - 1) << shown;
  EXPECT_GE(shown.size() - blank, shown.find(" left") + 6) << shown;
  EXPECT_EQ(show_half(pipe_fds[1], pipe_fds[0]), "");
  for (const int fd : {master, terminal, pipe_fds[0], pipe_fds[1]}) ::close(fd);
}

}  // namespace expcoil
