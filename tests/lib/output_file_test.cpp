#include "lib/output_file.hpp"

#include <gtest/gtest.h>

#include <filesystem>

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
  EXPECT_TRUE(during.size() == 2 && during[1].rfind("old.txt.", 0) == 0) << during.size();
  ASSERT_TRUE(file.commit()) << file.error();
  EXPECT_TRUE(read_file(dir / "old.txt") == want);

  std::filesystem::create_directory(dir / "map.csv");
  test::write_file(dir / "map.csv" / "inside", "data");
  for (const auto& [name, reason] :
       {std::pair{"map.csv", "Is a directory"}, std::pair{"missing/map.csv", "No such file or directory"}}) {
    OutputFile failing(dir / name);
    EXPECT_FALSE(failing.text(want).commit());
    EXPECT_EQ(failing.error(), "cannot write " + (dir / name).string() + ": " + reason);
    EXPECT_EQ(list_dir(dir.path()), (Names{"map.csv", "old.txt"})) << name;
  }
  OutputFile(dir / "new.txt").text(want);  // no commit
  EXPECT_EQ(list_dir(dir.path()), (Names{"map.csv", "old.txt"}));
  EXPECT_EQ(list_dir(dir / "map.csv"), Names{"inside"});
  EXPECT_EQ(read_file(dir / "map.csv" / "inside"), "data");
}

}  // namespace expcoil
