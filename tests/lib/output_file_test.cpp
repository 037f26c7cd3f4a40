#include "lib/output_file.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

namespace expcoil {
namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::set<std::string> entries(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// Appends several MiB of field-map-like lines, so the internal buffer is flushed many times; returns the
// text that should end up in the file.
std::string append_lines(OutputFile& file, int lines) {
  std::string expected;
  for (int i = 0; i < lines; ++i) {
    const double x = i * 0.01 - 0.15;
    file.general(x, 15).text(",").general(x / 7, 9).text(",").fixed(x * 1e3).line_end();
    expected += format_general(x, 15) + "," + format_general(x / 7, 9) + "," + format_fixed(x * 1e3) + "\r\n";
  }
  return expected;
}

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "output_file_test.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }

  fs::path dir_;
};

TEST_F(OutputFileTest, WritesExactlyTheAppendedBytes) {
  const fs::path target = dir_ / "fieldmap_M1.csv";
  OutputFile file(target.string());
  std::string expected = append_lines(file, 20000);
  // Larger than the whole buffer, then one that only fits after a flush.
  const std::string huge(2'500'000, 'h');
  const std::string large(900'000, 'l');
  file.text(huge).line_end().text(large).line_end();
  expected += huge + "\r\n" + large + "\r\n";
  expected += append_lines(file, 20000);
  ASSERT_TRUE(file.commit()) << file.error();
  EXPECT_TRUE(file.error().empty());
  EXPECT_EQ(file.path(), target.string());

  const std::string written = read_file(target);
  ASSERT_EQ(written.size(), expected.size());
  EXPECT_TRUE(written == expected);
  EXPECT_EQ(entries(dir_), std::set<std::string>{"fieldmap_M1.csv"});
}

TEST_F(OutputFileTest, ReplacesExistingTargetOnlyAtCommit) {
  const fs::path target = dir_ / "segments.txt";
  write_file(target, "old");
  OutputFile file(target.string());
  append_lines(file, 30000);
  file.text("last").line_end();

  // Readers see the complete old file until the new one is complete; the temporary sits beside the
  // target, so the rename cannot cross file systems.
  EXPECT_EQ(read_file(target), "old");
  const std::set<std::string> during = entries(dir_);
  ASSERT_EQ(during.size(), 2u);
  EXPECT_EQ(during.count("segments.txt"), 1u);
  EXPECT_EQ(std::prev(during.end())->rfind("segments.txt.", 0), 0u);

  ASSERT_TRUE(file.commit()) << file.error();
  const std::string written = read_file(target);
  EXPECT_EQ(written.substr(written.size() - 6), "last\r\n");
  EXPECT_EQ(entries(dir_), std::set<std::string>{"segments.txt"});

  // A second commit neither fails nor writes what was appended after the first.
  file.text("late").line_end();
  EXPECT_TRUE(file.commit());
  EXPECT_EQ(read_file(target), written);
}

TEST_F(OutputFileTest, DestructionWithoutCommitLeavesNoTrace) {
  const fs::path existing = dir_ / "conductor.txt";
  write_file(existing, "keep me");
  {
    OutputFile file(existing.string());
    append_lines(file, 40000);
  }
  {
    OutputFile file((dir_ / "new.txt").string());
    file.text("partial");
  }
  EXPECT_EQ(read_file(existing), "keep me");
  EXPECT_EQ(entries(dir_), std::set<std::string>{"conductor.txt"});
}

TEST_F(OutputFileTest, FinalFileHasPermissionsOfAPlainlyCreatedFile) {
  const mode_t saved = ::umask(022);
  for (const mode_t mask : {mode_t{022}, mode_t{027}}) {
    ::umask(mask);
    const fs::path target = dir_ / ("mask" + std::to_string(mask));
    OutputFile file(target.string());
    file.text("x").line_end();
    ASSERT_TRUE(file.commit()) << file.error();
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask) << "umask " << mask;
  }
  ::umask(saved);
}

TEST_F(OutputFileTest, DirectoryAtTargetNameIsLeftAlone) {
  const fs::path target = dir_ / "fieldmap.csv";
  fs::create_directory(target);
  write_file(target / "inside", "data");
  OutputFile file(target.string());
  append_lines(file, 1000);
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(file.error(), "cannot write " + target.string() + ": Is a directory");
  EXPECT_TRUE(fs::is_directory(target));
  EXPECT_EQ(read_file(target / "inside"), "data");
  EXPECT_EQ(entries(dir_), std::set<std::string>{"fieldmap.csv"});
}

TEST_F(OutputFileTest, MissingDirectoryIsReportedAtCommit) {
  const fs::path target = dir_ / "no_such_dir" / "out.csv";
  OutputFile file(target.string());
  append_lines(file, 40000);  // flushes into a file that could not be created
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(file.error(), "cannot write " + target.string() + ": No such file or directory");
  EXPECT_TRUE(entries(dir_).empty());
}

TEST_F(OutputFileTest, UnwritableDirectoryIsReportedAtCommit) {
  if (::geteuid() == 0) GTEST_SKIP() << "root bypasses directory permissions";
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                            fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const fs::path target = dir_ / "out.csv";
  OutputFile file(target.string());
  file.text("x").line_end();
  EXPECT_FALSE(file.commit());
  EXPECT_EQ(file.error(), "cannot write " + target.string() + ": Permission denied");
  EXPECT_TRUE(entries(dir_).empty());
}

// A file-size limit makes write() fail part way: first with a short write, then with EFBIG.
TEST_F(OutputFileTest, FirstWriteFailureIsLatchedAndNothingIsLeft) {
  const fs::path target = dir_ / "big.csv";
  write_file(target, "previous");
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = saved;
  limited.rlim_cur = 1'500'000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

  bool committed = true;
  std::string error;
  {
    OutputFile file(target.string());
    append_lines(file, 100000);
    committed = file.commit();
    error = file.error();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, saved_handler);

  EXPECT_FALSE(committed);
  EXPECT_EQ(error, "cannot write " + target.string() + ": File too large");
  EXPECT_EQ(read_file(target), "previous");
  EXPECT_EQ(entries(dir_), std::set<std::string>{"big.csv"});
}

}  // namespace
}  // namespace expcoil
