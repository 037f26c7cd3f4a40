// How signals end the program: what the handlers installed by main() do, in a child process.
#include "app/process.hpp"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "lib/output_file.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

// An ending signal removes the temporaries of the files being written, leaves committed files alone and
// ends the process by that same signal; one that was ignored on entry stays ignored.
TEST(Process, EndingSignalsRemoveTheTemporariesAndEndTheProcessByTheSignal) {
  const struct {
    int signal;
    bool ignored_on_entry;
  } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}};
  for (const auto& c : cases) {
    test::TempDir dir;
    const test::RunResult r = test::run_in_child([&] {
      if (c.ignored_on_entry) ::signal(c.signal, SIG_IGN);
      install_signal_handlers();
      OutputFile(dir / "done.csv").text("complete").commit();
      OutputFile partial(dir / "partial.csv");
      OutputFile large(dir / "large.csv");
      partial.text("partial");
      large.text(std::string(3 << 20, 'x'));  // beyond the buffer: on disk in its temporary
      std::printf("%zu entries\n", test::list_dir(dir.path()).size());
      std::fflush(stdout);
      ::raise(c.signal);
      std::printf("went on\n");
    });
    EXPECT_EQ(r.exit_code, c.ignored_on_entry ? 0 : 128 + c.signal) << c.signal;
    EXPECT_EQ(r.out, c.ignored_on_entry ? "3 entries\nwent on\n" : "3 entries\n") << c.signal;
    EXPECT_EQ(test::list_dir(dir.path()), std::vector<std::string>{"done.csv"}) << c.signal;
    EXPECT_EQ(test::read_file(dir / "done.csv"), "complete");
  }
}

}  // namespace
}  // namespace expcoil
