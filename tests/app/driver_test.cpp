// The program as its users run it: a config.txt in a scratch directory, the real binary.
#include <gtest/gtest.h>

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

TEST(Driver, OverflowingTargetStopsTheRunWithAMessage) {
  TempDir dir;
  std::string config = parameter_block() + magnet_block("A");
  config.replace(config.find("Scaling k: 2.5"), 14, "Scaling k: 5000");
  write_file(dir / "config.txt", config);
  const test::RunResult run = run_program(dir.path());
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "Parameters Test set\nMagnet A\n");
  EXPECT_EQ(run.err.rfind("magnet \"A\": the target current potential is not finite at y = ", 0), 0u)
      << run.err;
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"config.txt"});
}

}  // namespace
}  // namespace expcoil
