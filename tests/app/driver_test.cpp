// The program as its users run it: a config.txt in a scratch directory, the real binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace expcoil {
namespace {

using test::list_dir;
using test::magnet_block;
using test::parameter_block;
using test::run_program;
using test::TempDir;
using test::write_file;

TEST(Driver, WithoutMagnetsPrintsTheSetAndDone) {
  TempDir dir;
  write_file(dir / "config.txt", "Parameters name: Empty set\r\nCoil meshes: 0\r\n");
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "Parameters Empty set\nDone\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.txt"});
}

TEST(Driver, MissingOrNamelessConfigurationStopsBeforeAnything) {
  TempDir dir;
  test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "config.txt: cannot be read: No such file or directory\n");

  std::string nameless = parameter_block() + magnet_block("A");
  nameless.erase(0, nameless.find('\n') + 1);
  write_file(dir / "config.txt", nameless);
  run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "config.txt: no \"Parameters name\" line\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.txt"});
}

TEST(Driver, BadValuesAreAllReportedAndNothingIsWritten) {
  TempDir dir;
  std::string config = parameter_block() + magnet_block("A") + magnet_block("B/C") + "Coil meshes: 1\n";
  write_file(dir / "config.txt", config);
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(
      run.err,
      "config.txt: \"Coil meshes\" must be at least 2 (it is 1)\n"
      "config.txt: magnet \"B/C\": \"Magnet name\" must not contain '/' or '\\': output files are written "
      "to the working directory\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.txt"});
}

TEST(Driver, NonPowerOfTwoFftMeshEndsTheRunWithTheFatalReport) {
  TempDir dir;
  std::string config = parameter_block() + magnet_block("A") + magnet_block("B");
  config.replace(config.find("FFT meshes: 32"), 14, "FFT meshes: 48");
  write_file(dir / "config.txt", config);
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out,
            "Parameters Test set\nMagnet A\n\n[FATAL ERROR] Some moron called fft with a "
            "non-power-of-two-sized array\n");
  EXPECT_EQ(run.err, "");
  EXPECT_GE(run.seconds, 2.5);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.txt"});
}

// The lines one magnet of the test configuration prints.
std::string magnet_lines(const std::string& name) {
  return "Magnet " + name +
         "\n"
         "Generating fieldmap\n"
         "Fieldmap from (-0.04,-0.17,-0.6)m to (0.04,0.02,0.6)m\n"
         "Fieldmap cell size (0.02,0.05,0.2)m\n"
         "5x4x7 = 140 cells\n"
         "Saving windings\n";
}

TEST(Driver, EveryMagnetRunsTheWholeChainIntoItsThreeFiles) {
  TempDir dir;
  write_file(dir / "config.txt", parameter_block() + magnet_block("A") + magnet_block("B"));
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "Parameters Test set\n" + magnet_lines("A") + magnet_lines("B") + "Done\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(list_dir(dir.path()),
            (std::vector<std::string>{"config.txt", "fieldmap_A.csv", "fieldmap_B.csv", "windings_A.cond",
                                      "windings_A.csv", "windings_B.cond", "windings_B.csv"}));
  const std::string map = test::read_file(dir / "fieldmap_A.csv");
  EXPECT_EQ(map.rfind("x (m),y,z, Bx (T),By,Bz\r\n-0.04,-0.17,-0.6, ", 0), 0u);
  EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), 141);
  EXPECT_EQ(std::count(map.begin(), map.end(), '\r'), 141);
  EXPECT_EQ(map.find("nan"), std::string::npos);
  // Identical magnets give identical files.
  EXPECT_EQ(map, test::read_file(dir / "fieldmap_B.csv"));
  const std::string table = test::read_file(dir / "windings_A.csv");
  EXPECT_EQ(table.rfind("x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n", 0), 0u);
  EXPECT_GT(std::count(table.begin(), table.end(), '\n'), 100);
  const std::string cond = test::read_file(dir / "windings_A.cond");
  EXPECT_EQ(cond.rfind("CONDUCTOR\r\nDEFINE GSTRAIGHT\r\n", 0), 0u);
  EXPECT_EQ(cond.substr(cond.size() - 6), "QUIT\r\n");
}

TEST(Driver, LongAndRepeatedNamesAreUsedAsTheyStand) {
  TempDir dir;
  const std::string long_name(200, 'L');
  write_file(dir / "config.txt",
             parameter_block() + magnet_block(long_name) + magnet_block("A") + magnet_block("A"));
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "Parameters Test set\n" + magnet_lines(long_name) + magnet_lines("A") +
                         magnet_lines("A") + "Done\n");
  EXPECT_EQ(list_dir(dir.path()),
            (std::vector<std::string>{"config.txt", "fieldmap_A.csv", "fieldmap_" + long_name + ".csv",
                                      "windings_A.cond", "windings_A.csv", "windings_" + long_name + ".cond",
                                      "windings_" + long_name + ".csv"}));
}

TEST(Driver, AFileThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  TempDir dir;
  write_file(dir / "config.txt", parameter_block() + magnet_block("A") + magnet_block("B"));
  std::filesystem::create_directory(dir / "windings_A.csv");
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "Parameters Test set\n" + magnet_lines("A") + magnet_lines("B") + "Done\n");
  EXPECT_EQ(run.err, "cannot write windings_A.csv: Is a directory\n");
  EXPECT_EQ(list_dir(dir.path()),
            (std::vector<std::string>{"config.txt", "fieldmap_A.csv", "fieldmap_B.csv", "windings_A.cond",
                                      "windings_A.csv", "windings_B.cond", "windings_B.csv"}));
  EXPECT_TRUE(std::filesystem::is_directory(dir / "windings_A.csv"));
}

TEST(Driver, AMagnetThatCannotBeComputedStopsTheRunAfterTheEarlierOnesFiles) {
  TempDir dir;
  std::string second = magnet_block("B");
  second.replace(second.find("Bmax: 0.8"), 9, "Bmax: 1e303");
  write_file(dir / "config.txt", parameter_block() + magnet_block("A") + second);
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "Parameters Test set\n" + magnet_lines("A") + "Magnet B\n");
  EXPECT_EQ(run.err.rfind("magnet \"B\": the target current potential is not finite at y = ", 0), 0u)
      << run.err;
  EXPECT_EQ(list_dir(dir.path()),
            (std::vector<std::string>{"config.txt", "fieldmap_A.csv", "windings_A.cond", "windings_A.csv"}));
}

#if !defined(__SANITIZE_ADDRESS__)  // AddressSanitizer cannot run under an address-space limit
TEST(Driver, RunningOutOfMemoryEndsWithAMessage) {
  TempDir dir;
  std::string config = parameter_block() + magnet_block("A");
  config.replace(config.find("FFT meshes: 32"), 14, "FFT meshes: 4096");  // 128 MiB per matrix
  write_file(dir / "config.txt", config);
  const test::RunResult run = run_program(dir.path(), 256 << 20);
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "Parameters Test set\nMagnet A\n");
  EXPECT_EQ(run.err, "magnet \"A\": out of memory\n");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.txt"});
}
#endif

}  // namespace
}  // namespace expcoil
