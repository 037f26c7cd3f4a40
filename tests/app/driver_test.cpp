// The program as its users run it: a config.txt in a scratch directory, the real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace expcoil {
namespace {

using test::magnet_block;
using test::parameter_block;
using Files = std::vector<std::string>;

struct Outcome : test::RunResult {
  Files files;  // what the working directory holds afterwards
};

Outcome run(const std::string& config, const std::function<void(const test::TempDir&)>& prepare = {},
            unsigned long address_space = 0, const std::function<void()>& child_setup = {}) {
  test::TempDir dir;
  if (!config.empty()) test::write_file(dir / "config.txt", config);
  if (prepare) prepare(dir);
  Outcome r{test::run_program(dir.path(), address_space, child_setup), {}};
  r.files = test::list_dir(dir.path());
  return r;
}

// `text` with the value of the first line of `key` replaced.
std::string with(const std::string& text, const std::string& key, const std::string& value) {
  const std::size_t at = text.find(key + ":");
  return text.substr(0, at) + key + ": " + value + text.substr(text.find('\n', at));
}

// What one magnet of the test configuration prints.
std::string magnet_lines(const std::string& name) {
  return "Magnet " + name +
         "\nGenerating fieldmap\nFieldmap from (-0.04,-0.17,-0.6)m to (0.04,0.02,0.6)m\n"
         "Fieldmap cell size (0.02,0.05,0.2)m\n5x4x7 = 140 cells\nSaving windings\n";
}

const Files kFilesOfAB = {"config.txt",     "fieldmap_A.csv",  "fieldmap_B.csv", "windings_A.cond",
                          "windings_A.csv", "windings_B.cond", "windings_B.csv"};

TEST(Driver, EveryMagnetRunsTheWholeChainIntoItsThreeFiles) {
  test::TempDir dir;
  test::write_file(dir / "config.txt", parameter_block() + magnet_block("A") + magnet_block("B"));
  const test::RunResult r = test::run_program(dir.path());
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Parameters Test set\n" + magnet_lines("A") + magnet_lines("B") + "Done\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(test::list_dir(dir.path()), kFilesOfAB);
  const std::string map = test::read_file(dir / "fieldmap_A.csv");
  EXPECT_EQ(map.rfind("x (m),y,z, Bx (T),By,Bz\r\n-0.04,-0.17,-0.6, ", 0), 0u);
  EXPECT_EQ(std::count(map.begin(), map.end(), '\n'), 141);
  EXPECT_EQ(std::count(map.begin(), map.end(), '\r'), 141);
  EXPECT_EQ(map.find("nan"), std::string::npos);
  EXPECT_EQ(map, test::read_file(dir / "fieldmap_B.csv"));  // identical magnets, identical files
  const std::string table = test::read_file(dir / "windings_A.csv");
  EXPECT_EQ(table.rfind("x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n", 0), 0u);
  EXPECT_GT(std::count(table.begin(), table.end(), '\n'), 100);
  const std::string cond = test::read_file(dir / "windings_A.cond");
  EXPECT_EQ(cond.rfind("CONDUCTOR\r\nDEFINE GSTRAIGHT\r\n", 0), 0u);
  EXPECT_EQ(cond.substr(cond.size() - 6), "QUIT\r\n");
}

TEST(Driver, NamesAreUsedAsTheyStandAndWithoutMagnetsNothingIsWritten) {
  const Outcome empty = run("Parameters name: Empty set\r\nCoil meshes: 0\r\n");
  EXPECT_EQ(empty.exit_code, 0) << empty.err;
  EXPECT_EQ(empty.out, "Parameters Empty set\nDone\n");
  EXPECT_EQ(empty.files, Files{"config.txt"});

  // No length limit on names.
  const std::string L(200, 'L');
  const Outcome r = run(parameter_block() + magnet_block(L) + magnet_block("A"));
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "Parameters Test set\n" + magnet_lines(L) + magnet_lines("A") + "Done\n");
  EXPECT_EQ(r.files, (Files{"config.txt", "fieldmap_A.csv", "fieldmap_" + L + ".csv", "windings_A.cond",
                            "windings_A.csv", "windings_" + L + ".cond", "windings_" + L + ".csv"}));
}

TEST(Driver, BadConfigurationsAreRejectedBeforeAnythingIsWritten) {
  const std::string good = parameter_block() + magnet_block("A");
  const std::string a = "config.txt: magnet \"A\": ";
  std::string many = parameter_block();  // every magnet key looked up once per magnet: once quadratic
  for (int n = 1; n < 3000; ++n) many += magnet_block(std::to_string(n));
  const std::string last = with(magnet_block("Z"), "Bmax", "inf");
  const struct {
    std::string config, error;  // the whole of standard error, or its start when it ends in "..."
  } cases[] = {
      {"", "config.txt: cannot be read: No such file or directory\n"},
      {good.substr(good.find('\n') + 1), "config.txt: no \"Parameters name\" line\n"},
      {with(good, "Coil meshes", "1") + magnet_block("B/C"),
       "config.txt: \"Coil meshes\" must be at least 2 (it is 1)\nconfig.txt: magnet \"B/C\": \"Magnet "
       "name\" must "
       "not contain '/' or '\\': output files are written to the working directory\n"},
      {with(good, "FFT meshes", "") + magnet_block("B\\C"),
       "config.txt: \"FFT meshes\" must be at least 2 (it is 0)\nconfig.txt: magnet \"B\\C\": \"Magnet "
       "name\" must "
       "not contain '/' or '\\': output files are written to the working directory\n"},
      {with(good, "Scaling k", "0") + "Magnet name: C\n",
       "config.txt: \"Scaling k\" must not be zero\nconfig.txt: magnet \"C\": no \"Polynomial adjustment\" "
       "line for "
       "this magnet (magnet 2 of 2)\nconfig.txt: magnet \"C\": \"Winding return half-length\" must be "
       "positive (it is "
       "0)\nconfig.txt: magnet \"C\": the winding current (\"Winding current density (A/mm^2)\" times \"Area "
       "per "
       "winding (cm^2)\") must not be zero\n"},
      // Names that would lose files: empty, used twice, or missing from a block (which would shift every
      // later magnet onto the next block's values).
      {good + magnet_block("") + magnet_block("A"),
       "config.txt: magnet 2 of 3: \"Magnet name\" must not be empty\nconfig.txt: magnet \"A\": \"Magnet "
       "name\" is "
       "also the name of magnet 1: its output files would replace that magnet's\n"},
      {good + magnet_block("B").substr(magnet_block("B").find('\n') + 1),
       "config.txt: the 2nd \"Bmax\" line belongs to no magnet: 2 \"Bmax\" lines but 1 \"Magnet name\" lines "
       "(a "
       "magnet block without its \"Magnet name\" line?)\n"},
      {with(good, "Good field height", "-0.01"),
       "config.txt: \"Good field height\" must be positive (it is -0.01)\n"},
      {with(good, "Vertical end height", "0"),
       "config.txt: \"Vertical end height\" must be positive (it is 0)\n"},
      {with(good, "Fieldmap vertical cell", "0"),
       "config.txt: \"Fieldmap vertical cell\" must be positive (it is 0)\n"},
      {with(good, "Vertical middle ramp", "nan"),
       "config.txt: \"Vertical middle ramp\" is not a finite number\n"},
      {with(good, "Fieldmap longitudinal extension", "1e400"),
       "config.txt: \"Fieldmap longitudinal extension\" is not a finite number\n"},
      {with(good, "Winding return half-length", "0"),
       a + "\"Winding return half-length\" must be positive (it is 0)\n"},
      {with(good, "Bmax", "inf"), a + "\"Bmax\" is not a finite number\n"},
      {with(good, "Length", "-0.1"), a + "\"Length\" must not be negative (it is -0.1)\n"},
      {with(good, "Polynomial adjustment", "1, nan"),
       a + "\"Polynomial adjustment\" is not a finite number\n"},
      {with(good, "Area per winding (cm^2)", "0"),
       a + "the winding current (\"Winding current density (A/mm^2)\" times \"Area per winding (cm^2)\") "
           "must not be "
           "zero\n"},
      {with(with(good, "Angle (degrees)", "15"), "Length", "0"),
       a + "a bent magnet (non-zero \"Angle (degrees)\") must have a non-zero \"Length\"\n"},
      {with(good, "Fieldmap vertical extension", "-0.2"),
       a + "the field map has no usable number of points along its vertical axis: check \"Fieldmap vertical "
           "cell\" "
           "and \"Fieldmap vertical extension\"\n"},
      {with(good, "Coil meshes", "1000000"),
       "config.txt: \"Coil meshes\" of 1000000 needs 7.45e+003 GiB of memory, more than this machine's ..."},
      // About 1.8e25 points: a product beyond even 64 bits must not wrap into an acceptable size.
      {with(with(with(good, "Fieldmap transverse cell", "1e-9"), "Fieldmap vertical cell", "1e-9"),
            "Fieldmap longitudinal cell", "1e-9"),
       a + "the field map of 80000001x190000001x1200000001 points needs ..."},
      {many + last.substr(0, last.find("Polynomial")),
       "config.txt: magnet \"Z\": no \"Polynomial adjustment\" line for this magnet (magnet 3000 of 3000)\n"
       "config.txt: magnet \"Z\": \"Bmax\" is not a finite number\n"},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.config);
    EXPECT_EQ(r.exit_code, 1) << c.error;
    EXPECT_EQ(r.out, "") << c.error;
    if (c.error.ends_with("...")) {
      EXPECT_EQ(r.err.substr(0, c.error.size() - 3), c.error.substr(0, c.error.size() - 3));
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    } else {
      EXPECT_EQ(r.err, c.error);
    }
    EXPECT_EQ(r.files, c.config.empty() ? Files{} : Files{"config.txt"}) << c.error;
  }
}

// EXPCOIL_WORKERS sets the threads of the run: the files never depend on it; a value that is not a count
// stops the run before anything is written.
TEST(Driver, WorkerCountFromTheEnvironment) {
  const std::string config = parameter_block() + magnet_block("A", 15);
  test::TempDir every_processor;
  test::write_file(every_processor / "config.txt", config);
  const test::RunResult all = test::run_program(every_processor.path());
  ASSERT_EQ(all.exit_code, 0) << all.err;
  for (const char* good : {"1", "3"}) {
    const test::EnvironmentVariable variable("EXPCOIL_WORKERS", good);
    test::TempDir dir;
    test::write_file(dir / "config.txt", config);
    const test::RunResult r = test::run_program(dir.path());
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, all.out);
    for (const char* file : {"fieldmap_A.csv", "windings_A.csv", "windings_A.cond"}) {
      EXPECT_EQ(test::read_file(dir / file), test::read_file(every_processor / file)) << good << " " << file;
    }
  }
  for (const char* bad : {"0", "two", "5000", "-1"}) {
    const test::EnvironmentVariable variable("EXPCOIL_WORKERS", bad);
    const Outcome r = run(config);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "EXPCOIL_WORKERS is \"" + std::string(bad) +
                  "\", which is not a worker count: use a whole number from 1 to 4096, or leave it unset "
                  "to use every processor\n");
    EXPECT_EQ(r.files, Files{"config.txt"});
  }
}

TEST(Driver, NonPowerOfTwoFftMeshEndsTheRunWithTheFatalReport) {
  const Outcome r = run(with(parameter_block() + magnet_block("A") + magnet_block("B"), "FFT meshes", "48"));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out,
            "Parameters Test set\nMagnet A\n\n[FATAL ERROR] Some moron called fft with a "
            "non-power-of-two-sized array\n");
  EXPECT_EQ(r.err, "config.txt: magnet \"A\": \"FFT meshes\" must be a power of two (it is 48)\n");
  EXPECT_GE(r.seconds, 2.5);
  EXPECT_EQ(r.files, Files{"config.txt"});
}

TEST(Driver, AFileThatCannotBeWrittenIsReportedAndTheRunGoesOn) {
  const Outcome r =
      run(parameter_block() + magnet_block("A") + magnet_block("B"),
          [](const test::TempDir& dir) { std::filesystem::create_directory(dir / "windings_A.csv"); });
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Parameters Test set\n" + magnet_lines("A") + magnet_lines("B") + "Done\n");
  EXPECT_EQ(r.err, "cannot write windings_A.csv: Is a directory\n");
  EXPECT_EQ(r.files, kFilesOfAB);  // windings_A.csv is still the directory
}

// Values that pass the checks one by one but make a magnet impossible to compute: the run stops at that
// magnet, after the earlier magnets' files, with a message that names the keys to change.
TEST(Driver, AMagnetThatCannotBeComputedStopsTheRunAfterTheEarlierOnesFiles) {
  const std::string b = "magnet \"B\": ";
  const std::pair<std::string, std::string> cases[] = {
      {with(magnet_block("B"), "Bmax", "1e303"),
       b + "the target current potential is not finite at y = -0.155645 m, z = -2.05 m: \"Bmax\" (1e+303 T) "
           "over mu0 exceeds double range\n"},
      {with(magnet_block("B"), "Winding centre to midplane", "1000"),
       b + "the vertical FFT inversion factor e^(|kappa| d) exceeds double range at the FFT mesh's "
           "wavenumber "
           "kappa = 1.48459 /m: \"Winding centre to midplane\" (1000 m) is too large for \"FFT meshes\" "
           "(32); "
           "reduce either, or turn \"Use vertical FFT inversion\" off\n"},
      {with(magnet_block("B"), "Winding current density (A/mm^2)", "1e-7"),
       b + "the current potential spans 4.29e+010 windings of 1e-005 A (\"Winding current density (A/mm^2)\" "
           "times \"Area per winding (cm^2)\"; the potential grows with \"Bmax\" and falls with \"Scaling "
           "k\"): ..."},
  };
  for (const auto& [block, error] : cases) {
    const Outcome r = run(parameter_block() + magnet_block("A") + block);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Parameters Test set\n" + magnet_lines("A") + "Magnet B\n");
    if (error.ends_with("...")) {
      EXPECT_EQ(r.err.substr(0, error.size() - 3), error.substr(0, error.size() - 3));
    } else {
      EXPECT_EQ(r.err, error);
    }
    EXPECT_EQ(r.files, (Files{"config.txt", "fieldmap_A.csv", "windings_A.cond", "windings_A.csv"}));
  }
}

// The run's surroundings turned against it: a file-size limit (which used to kill it by SIGXFSZ), names at
// the file system's limit (the temporary name once made them too long), a standard output that cannot be
// written (once a silent success or death by SIGPIPE) or is closed. Each failure is reported, the other files
// are written, and no temporary file is left.
TEST(Driver, HostileSurroundingsAreReportedAndTheOtherFilesWritten) {
  const std::string fit(241, 'n'), too_long(242, 'm');  // "windings_" + name + ".cond": 255 and 256 bytes
  const std::string ab = parameter_block() + magnet_block("A") + magnet_block("B");
  const auto standard_output_to = [](bool full_device) {
    return [full_device] {
      int fd[2] = {-1, -1};
      if (full_device) {
        fd[1] = ::open("/dev/full", O_WRONLY);
      } else if (::pipe(fd) == 0) {
        ::close(fd[0]);
      }
      if (fd[1] < 0 || ::dup2(fd[1], 1) < 0) ::_exit(127);
    };
  };
  const struct {
    std::string config;
    std::function<void()> setup;
    int exit_code;
    std::string out, err;
    Files files;
  } cases[] = {
      {ab,
       [] {
         const rlimit one_mib{1 << 20, 1 << 20};  // the conductor files are 1.8 MB, the others smaller
         if (::setrlimit(RLIMIT_FSIZE, &one_mib) != 0) ::_exit(127);
       },
       1,
       "Parameters Test set\n" + magnet_lines("A") + magnet_lines("B") + "Done\n",
       "cannot write windings_A.cond: File too large\ncannot write windings_B.cond: File too large\n",
       {"config.txt", "fieldmap_A.csv", "fieldmap_B.csv", "windings_A.csv", "windings_B.csv"}},
      {parameter_block() + magnet_block(fit),
       {},
       0,
       "Parameters Test set\n" + magnet_lines(fit) + "Done\n",
       "",
       {"config.txt", "fieldmap_" + fit + ".csv", "windings_" + fit + ".cond", "windings_" + fit + ".csv"}},
      {parameter_block() + magnet_block(too_long),
       {},
       1,
       "Parameters Test set\n" + magnet_lines(too_long) + "Done\n",
       "cannot write windings_" + too_long + ".cond: File name too long\n",
       {"config.txt", "fieldmap_" + too_long + ".csv", "windings_" + too_long + ".csv"}},
      {ab, standard_output_to(true), 1, "", "cannot write standard output: No space left on device\n",
       kFilesOfAB},
      {ab, standard_output_to(false), 1, "", "cannot write standard output: Broken pipe\n", kFilesOfAB},
      {ab, [] { ::close(1); }, 1, "", "cannot write standard output: Bad file descriptor\n", kFilesOfAB},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.config, {}, 0, c.setup);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.err;
    EXPECT_EQ(r.out, c.out) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.files, c.files) << c.err;
  }
}

// The sanitizers' shadow memory does not fit under an address-space limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(Driver, RunningOutOfMemoryEndsWithAMessage) {
  // Four FFT matrices of 128 MiB pass the check against physical memory but not a 256 MiB address space.
  const Outcome r = run(with(parameter_block() + magnet_block("A"), "FFT meshes", "4096"), {}, 256 << 20);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "Parameters Test set\nMagnet A\n");
  EXPECT_EQ(r.err, "magnet \"A\": out of memory\n");
  EXPECT_EQ(r.files, Files{"config.txt"});
}
#endif

}  // namespace
}  // namespace expcoil
