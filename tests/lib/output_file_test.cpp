#include "lib/output_file.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "test_support.hpp"

namespace expcoil {

using test::list_dir, test::read_file;
using Names = std::vector<std::string>;

// The target is replaced at commit by exactly the appended bytes. A failed commit names the target and
// the first cause; neither it nor a file destroyed without commit leaves a temporary, and what stood at
// the target name stays as it was.
TEST(OutputFile, CommitReplacesTheTargetAtOnceAndFailuresLeaveNoTrace) {
  test::TempDir dir;
  test::write_file(dir / "old.txt", "keep");
  OutputFile file(dir / "old.txt");
  std::string want;
  for (int i = 0; i < 80000; ++i) {  // several MiB through the 1 MiB buffer
    const double x = i * 0.01 - 0.15;
    file.general(x, 15).text(",").fixed(x * 1e3).line_end();
    want += format_general(x, 15) + "," + format_fixed(x * 1e3) + "\r\n";
    if (i == 40000) {  // one text that fits only after a flush, one larger than the whole buffer
      const std::string large(1'000'000, 'l'), huge(2'500'000, 'h');
      file.text(large).line_end().text(huge).line_end();
      want += large + "\r\n" + huge + "\r\n";
    }
  }
  OutputFile(dir / "old.txt").text(want);         // destroyed without commit
  EXPECT_EQ(read_file(dir / "old.txt"), "keep");  // readers see the old file until the commit
  const Names during = list_dir(dir.path());      // and only the pending file's temporary beside it
  EXPECT_TRUE(during.size() == 2 && during[0].starts_with("expcoil-") && during[0].ends_with(".tmp") &&
              during[0].size() == 20)
      << during.size();
  ASSERT_TRUE(file.commit()) << file.error();
  EXPECT_TRUE(read_file(dir / "old.txt") == want);

  std::filesystem::create_directory(dir / "map.csv");
  test::write_file(dir / "map.csv" / "inside", "data");
  ASSERT_EQ(::mkfifo((dir / "fifo.csv").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/null", dir / "null.csv");
  const Names names = {"fifo.csv", "map.csv", "null.csv", "old.txt"};
  const std::string device = "not a regular file (a character device), which is left as it is";
  for (const auto& [name, reason] :
       {std::pair{"map.csv", "Is a directory"}, std::pair{"missing/map.csv", "No such file or directory"},
        std::pair{"fifo.csv", "not a regular file (a FIFO), which is left as it is"},
        std::pair{"null.csv", device.c_str()}, std::pair{"/dev/null", device.c_str()}}) {
    OutputFile failing(dir / name);
    EXPECT_FALSE(failing.text(want).commit());
    EXPECT_EQ(failing.error(), "cannot write " + (dir / name).string() + ": " + reason);
    EXPECT_EQ(list_dir(dir.path()), names) << name;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "fifo.csv") && std::filesystem::is_symlink(dir / "null.csv") &&
              std::filesystem::is_character_file("/dev/null"));
  OutputFile(dir / "new.txt").text(want);  // no commit
  EXPECT_EQ(list_dir(dir.path()), names);
  EXPECT_EQ(list_dir(dir / "map.csv"), Names{"inside"});
  EXPECT_EQ(read_file(dir / "map.csv" / "inside"), "data");
}

// The temporary name has a fixed length: every target name the file system takes can be written, and one
// it refuses fails with its reason.
TEST(OutputFile, AnyTargetNameTheFileSystemTakesCanBeWritten) {
  test::TempDir dir;
  for (const std::size_t length : {1, 246, 247, 255, 256}) {
    const std::string name(length, 'n');
    OutputFile file(dir / name);
    const bool fits = length <= 255;
    EXPECT_EQ(file.text("x").commit(), fits) << length;
    EXPECT_EQ(file.error(), fits ? "" : "cannot write " + (dir / name).string() + ": File name too long");
    EXPECT_EQ(list_dir(dir.path()), fits ? Names{name} : Names{}) << length;
    if (fits) std::filesystem::remove(dir / name);
  }
}

// Under a file-size limit, with SIGXFSZ ignored as the program does, a write that fails in the middle of a
// file is latched: the commit fails with the reason, nothing is left under the final name or a temporary one.
TEST(OutputFile, AFileSizeLimitFailsTheFileAndLeavesNothing) {
  test::TempDir dir;
  const test::RunResult r = test::run_in_child([&] {
    const rlimit limit{3 << 20, 3 << 20};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0 || ::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return;
    OutputFile file(dir / "map.csv");
    for (int i = 0; i < 500000; ++i) file.general(i * 0.001, 15).line_end();  // about 5 MB
    const bool committed = file.commit();
    std::printf("%d %s\n", committed, file.error().c_str());
  });
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "0 cannot write " + (dir / "map.csv").string() + ": File too large\n");
  EXPECT_EQ(list_dir(dir.path()), Names{});
}

// The registry a signal handler uses: every live temporary is unlinked, however many (beyond one block of
// slots); committed files stay, and the objects report their loss when committed afterwards.
TEST(OutputFile, RemovingTheTemporariesUnlinksEveryLiveOneAndNothingElse) {
  test::TempDir dir;
  ASSERT_TRUE(OutputFile(dir / "done.txt").text("kept").commit());
  std::vector<std::unique_ptr<OutputFile>> live;
  for (int i = 0; i < 150; ++i)
    live.push_back(std::make_unique<OutputFile>(dir / (std::to_string(i) + ".csv")));
  EXPECT_EQ(list_dir(dir.path()).size(), 151u);
  output_file_remove_temporaries();
  EXPECT_EQ(list_dir(dir.path()), Names{"done.txt"});
  EXPECT_FALSE(live[7]->text("late").commit());
  EXPECT_EQ(live[7]->error(), "cannot write " + (dir / "7.csv").string() + ": No such file or directory");
  live.clear();
  EXPECT_EQ(list_dir(dir.path()), Names{"done.txt"});
  EXPECT_EQ(read_file(dir / "done.txt"), "kept");
}

}  // namespace expcoil
