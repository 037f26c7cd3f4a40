// The program as its users run it: a config.txt in a scratch directory, the real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "magnet/field.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using test::magnet_block;
using test::parameter_block;
using Files = std::vector<std::string>;

struct Outcome : test::RunResult {
  Files files;                               // what the working directory holds afterwards
  std::map<std::string, std::string> bytes;  // and the contents of its files
};

// Runs the program on `config` (no config.txt when empty); `child_setup` runs in the program's process
// just before it starts, in its working directory.
Outcome run(const std::string& config, const std::function<void()>& child_setup = {}) {
  test::TempDir dir;
  if (!config.empty()) test::write_file(dir / "config.txt", config);
  Outcome r{test::run_program(dir.path(), child_setup), {}, {}};
  r.files = test::list_dir(dir.path());
  for (const std::string& f : r.files) {
    if (std::filesystem::is_regular_file(dir / f)) r.bytes[f] = test::read_file(dir / f);
  }
  return r;
}

// `text` with the value of the first line of each key of `lines` ("key: value" lines) replaced.
std::string with(std::string text, const std::string& lines) {
  for (std::size_t from = 0, end; from < lines.size(); from = end + 1) {
    end = std::min(lines.find('\n', from), lines.size());
    const std::string line = lines.substr(from, end - from), key = line.substr(0, line.find(':') + 1);
    const std::size_t at = text.find(key);
    text = text.substr(0, at) + line + text.substr(text.find('\n', at));
  }
  return text;
}

// `text` without its first line of `key`.
std::string without(std::string text, const std::string& key) {
  const std::size_t at = text.find(key + ":");
  return text.erase(at, text.find('\n', at) + 1 - at);
}

// `err` as `want` hears it: `want` itself where it ends in "..." and `err` is one line that starts with what
// comes before.
std::string heard(const std::string& err, const std::string& want) {
  const bool start = want.ends_with("...") && err.starts_with(want.substr(0, want.size() - 3));
  return start && err.find('\n') == err.size() - 1 ? want : err;
}

// What a run should end in.
using Ending = std::tuple<int, std::string, std::string, Files>;
Ending ending(const Outcome& r, const std::string& want_err = "") {
  return {r.exit_code, r.out, heard(r.err, want_err), r.files};
}

// What one magnet of the test configuration prints.
std::string magnet_lines(const std::string& name) {
  return "Magnet " + name +
         "\nGenerating fieldmap\nFieldmap from (-0.04,-0.17,-0.6)m to (0.04,0.02,0.6)m\n"
         "Fieldmap cell size (0.02,0.05,0.2)m\n5x4x7 = 140 cells\nSaving windings\n";
}

const std::string kConfigAB = parameter_block() + magnet_block("A") + magnet_block("B");
const std::string kOutputAB = "Parameters Test set\n" + magnet_lines("A") + magnet_lines("B") + "Done\n";
const Files kFilesOfAB = {"config.txt",     "fieldmap_A.csv",  "fieldmap_B.csv", "windings_A.cond",
                          "windings_A.csv", "windings_B.cond", "windings_B.csv"};

TEST(Driver, EveryMagnetRunsTheWholeChainIntoItsThreeFiles) {
  const Outcome r = run(kConfigAB);
  ASSERT_EQ(ending(r), (Ending{0, kOutputAB, "", kFilesOfAB}));
  const std::string& map = r.bytes.at("fieldmap_A.csv");
  EXPECT_TRUE(map.starts_with("x (m),y,z, Bx (T),By,Bz\r\n-0.04,-0.17,-0.6, ") &&
              std::count(map.begin(), map.end(), '\n') == 141 && map.find("nan") == std::string::npos);
  EXPECT_TRUE(map == r.bytes.at("fieldmap_B.csv"));  // identical magnets, identical files
  const std::string &table = r.bytes.at("windings_A.csv"), &cond = r.bytes.at("windings_A.cond");
  EXPECT_TRUE(table.starts_with("x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n") &&
              std::count(table.begin(), table.end(), '\n') > 100);
  EXPECT_TRUE(cond.starts_with("CONDUCTOR\r\nDEFINE GSTRAIGHT\r\n") && cond.ends_with("\r\nQUIT\r\n"));

  // Text after a number is ignored, and said so.
  const Outcome unit = run(with(kConfigAB, "Length: 0.8 m"));
  EXPECT_EQ(ending(unit),
            (Ending{0, kOutputAB,
                    "config.txt: magnet \"A\": \"Length\" on line 21: \"m\" after the number \"0.8\" "
                    "is ignored\n",
                    kFilesOfAB}));
  const Outcome empty = run("Parameters name: Empty set\r\nCoil meshes: 0\r\n");  // no magnets: no files
  EXPECT_EQ(ending(empty), (Ending{0, "Parameters Empty set\nDone\n", "", {"config.txt"}}));
}

// Every problem is named, in the order of the checks, before anything is written.
TEST(Driver, BadConfigurationsAreRejectedBeforeAnythingIsWritten) {
  const std::string good = parameter_block() + magnet_block("A");
  const std::string f = "config.txt: ", a = f + "magnet \"A\": ", c = f + "magnet \"C\": ";
  std::string many = parameter_block();  // every magnet key looked up once per magnet: once quadratic
  for (int n = 1; n < 3000; ++n) many += magnet_block(std::to_string(n));
  const std::string last = with(magnet_block("Z"), "Bmax: inf");
  const std::string slash =
      "\"Magnet name\" must not contain '/' or '\\': output files are written to the working directory\n";
  const std::string current =
      "the winding current (\"Winding current density (A/mm^2)\" times \"Area per winding (cm^2)\") must "
      "not be zero\n";
  const struct {
    std::string config, error;  // the whole of standard error, or its start when it ends in "..."
  } cases[] = {
      {"", f + "cannot be read: No such file or directory\n"},
      {good.substr(good.find('\n') + 1), f + "no \"Parameters name\" line\n"},
      {with(good, "Coil meshes: 1\nFFT meshes: 0") + magnet_block("B/C") + magnet_block("B\\C"),
       f + "\"Coil meshes\" must be at least 2 (it is 1)\n" + f +
           "\"FFT meshes\" must be at least 2 (it is 0)\n" + f + "magnet \"B/C\": " + slash + f +
           "magnet \"B\\C\": " + slash},
      {with(good, "Scaling k: 0") + "Magnet name: C\n",
       f + "\"Scaling k\" must not be zero\n" + c +
           "no \"Bmax\", \"Length\", \"Angle (degrees)\", \"Winding centre to midplane\", \"Winding return "
           "half-length\", \"Area per winding (cm^2)\", \"Winding current density (A/mm^2)\", \"Winding "
           "thickness "
           "(cm)\" and \"Polynomial adjustment\" lines for this magnet (magnet 2 of 2; a block that leaves "
           "out a "
           "line takes the next block's)\n"},
      // Names that would lose files: empty, used twice, or missing from a block (which would shift every
      // later magnet onto the next block's values).
      {good + magnet_block("") + magnet_block("A"),
       f + "magnet 2 of 3: \"Magnet name\" must not be empty\n" + a +
           "\"Magnet name\" is also the name of magnet 1: its output files would replace that magnet's\n"},
      {good + magnet_block("B").substr(magnet_block("B").find('\n') + 1),
       f + "the 2nd \"Bmax\" line belongs to no magnet: 2 \"Bmax\" lines but 1 \"Magnet name\" lines (a "
           "magnet block without its \"Magnet name\" line?)\n"},
      {with(good,
            "Good field height: -0.01\nVertical end height: 0\nFieldmap vertical cell: 0\n"
            "Vertical middle ramp: nan\nFieldmap longitudinal extension: 1e400"),
       f + "\"Vertical middle ramp\" is not a finite number\n" + f +
           "\"Fieldmap longitudinal extension\" is not a finite number\n" + f +
           "\"Good field height\" must be positive (it is -0.01)\n" + f +
           "\"Vertical end height\" must be positive (it is 0)\n" + f +
           "\"Fieldmap vertical cell\" must be positive (it is 0)\n"},
      {with(good,
            "Winding return half-length: 0\nBmax: inf\nLength: -0.1\nPolynomial adjustment: 1, nan\n"
            "Area per winding (cm^2): 0\nFieldmap vertical extension: -0.2") +
           with(magnet_block("C", 15), "Length: 0"),
       a + "\"Bmax\" is not a finite number\n" + a + "\"Polynomial adjustment\" is not a finite number\n" +
           a + "\"Length\" must be positive (it is -0.1)\n" + a +
           "\"Winding return half-length\" must be positive (it is 0)\n" + a + current + c +
           "\"Length\" must be positive (it is 0)\n" + c +
           "the field map has no usable number of points along its vertical axis: check \"Fieldmap vertical "
           "cell\" and \"Fieldmap vertical extension\"\n"},
      {with(good, "Coil meshes: 1000000"),
       f + "\"Coil meshes\" of 1000000 needs 7.45e+003 GiB of memory, more than this machine's ..."},
      // About 1.8e25 points: a product beyond even 64 bits must not wrap into an acceptable size.
      {with(good,
            "Fieldmap transverse cell: 1e-9\nFieldmap vertical cell: 1e-9\nFieldmap longitudinal cell: 1e-9"),
       a + "the field map of 80000001x190000001x1200000001 points needs ..."},
      {many + last.substr(0, last.find("Polynomial")),
       f +
           "magnet \"Z\": no \"Polynomial adjustment\" line for this magnet (magnet 3000 of 3000; a block "
           "that "
           "leaves out a line takes the next block's)\n" +
           f + "magnet \"Z\": \"Bmax\" is not a finite number\n"},
      // A block without a line of a key took the next block's value, the last magnet the default.
      {parameter_block() + without(magnet_block("A"), "Bmax") + magnet_block("B"),
       f + "magnet \"B\": no \"Bmax\" line for this magnet (magnet 2 of 2; a block that leaves out a line "
           "takes "
           "the next block's)\n"},
      // Values the conversions would read as something else: no number (0), a decimal comma (0), a word.
      {with(good,
            "Use vertical FFT inversion: tomorrow\nBmax: abc\nLength: 0,8\nAngle (degrees): fifteen\n"
            "Polynomial adjustment: 0, x"),
       f + "\"Use vertical FFT inversion\" on line 12 must be yes or no: \"tomorrow\"\n" + a +
           "\"Bmax\" on line 20 is not a number: \"abc\"\n" + a +
           "\"Length\" on line 21 has a decimal comma: \"0,8\" (write the decimal point as '.')\n" + a +
           "\"Angle (degrees)\" on line 22 is not a number: \"fifteen\"\n" + a +
           "\"Polynomial adjustment\" on line 28 is not a number: \"x\"\n"},
      // Designs the checks can see to be empty or overlapping.
      {with(good, "Vertical middle join height: -0.1\nBmax: 0\nAngle (degrees): 3600") +
           with(magnet_block("C"), "Angle (degrees): -1e300"),
       f + "\"Vertical middle join height\" must not be negative (it is -0.1)\n" + a +
           "\"Bmax\" must not be zero\n" + a +
           "\"Angle (degrees)\" must be less than 360 in magnitude (it is "
           "3600)\n" +
           c + "\"Angle (degrees)\" must be less than 360 in magnitude (it is -1e+300)\n"},
  };
  for (const auto& row : cases) {
    const Outcome r = run(row.config);
    EXPECT_EQ(ending(r, row.error),
              (Ending{1, "", row.error, row.config.empty() ? Files{} : Files{"config.txt"}}));
  }
}

// EXPCOIL_WORKERS and EXPCOIL_KERNEL set the threads and the field kernel of the run: the files never depend
// on them. A value that names neither stops the run before anything is written, the kernel's before the
// configuration is looked for.
TEST(Driver, WorkersAndKernelFromTheEnvironment) {
  const std::string config = parameter_block() + magnet_block("A", 15);
  const Outcome all = run(config);
  ASSERT_EQ(all.exit_code, 0) << all.err;
  std::vector<std::pair<std::string, std::string>> good = {{"EXPCOIL_WORKERS", "1"},
                                                           {"EXPCOIL_WORKERS", "3"}};
  for (const KernelTarget& t : field_kernel_targets()) good.emplace_back("EXPCOIL_KERNEL", t.name);
  for (const auto& [name, value] : good) {
    const Outcome r = run(config, [&] { ::setenv(name.c_str(), value.c_str(), 1); });
    EXPECT_TRUE(r.exit_code == 0 && r.out == all.out && r.bytes == all.bytes)
        << name << "=" << value << r.err;
  }
  // Not worker counts (the whole message once), not kernels of this machine (the unit test has its end).
  const std::string count =
                        "which is not a worker count: use a whole number from 1 to 4096, or leave it "
                        "unset to use every processor\n",
                    kernel = "which is not a field kernel this machine runs: use ...";
  const struct {
    const char *name, *value;
    const std::string& reason;
    bool config;
  } bad[] = {{"EXPCOIL_WORKERS", "0", count, true},     {"EXPCOIL_WORKERS", "two", count, true},
             {"EXPCOIL_WORKERS", "5000", count, true},  {"EXPCOIL_WORKERS", "-1", count, true},
             {"EXPCOIL_KERNEL", "avx9", kernel, false}, {"EXPCOIL_KERNEL", "AVX2", kernel, true}};
  for (const auto& b : bad) {
    const Outcome r = run(b.config ? config : "", [&] { ::setenv(b.name, b.value, 1); });
    const std::string err = std::string(b.name) + " is \"" + b.value + "\", " + b.reason;
    EXPECT_EQ(ending(r, err), (Ending{1, "", err, b.config ? Files{"config.txt"} : Files{}}));
  }
}

// An FFT mesh that is not a power of two is the old program's fatal report, with its pause.
TEST(Driver, NonPowerOfTwoFftMeshEndsTheRunWithTheFatalReport) {
  const Outcome r = run(with(kConfigAB, "FFT meshes: 48"));
  EXPECT_EQ(ending(r), (Ending{1,
                               "Parameters Test set\nMagnet A\n\n[FATAL ERROR] Some moron called fft with a "
                               "non-power-of-two-sized array\n",
                               "config.txt: magnet \"A\": \"FFT meshes\" must be a power of two (it is 48)\n",
                               {"config.txt"}}));
  EXPECT_GE(r.seconds, 2.5);
}

// Values that pass the checks one by one but make a magnet impossible to compute: the run stops at that
// magnet, after the earlier magnets' files, with a message that names the keys to change.
TEST(Driver, AMagnetThatCannotBeComputedStopsTheRunAfterTheEarlierOnesFiles) {
  const std::string b = "magnet \"B\": ", out = "Parameters Test set\n" + magnet_lines("A") + "Magnet B\n";
  const Files files = {"config.txt", "fieldmap_A.csv", "windings_A.cond", "windings_A.csv"};
  const std::pair<std::string, std::string> cases[] = {
      {"Bmax: 1e303",
       b + "the target current potential is not finite at y = -0.155645 m, z = -2.05 m: \"Bmax\" (1e+303 T) "
           "over mu0 exceeds double range\n"},
      {"Winding centre to midplane: 1000",
       b + "the vertical FFT inversion factor e^(|kappa| d) exceeds double range at the FFT mesh's "
           "wavenumber kappa = 1.48459 /m: \"Winding centre to midplane\" (1000 m) is too large for \"FFT "
           "meshes\" (32); reduce either, or turn \"Use vertical FFT inversion\" off\n"},
      {"Winding current density (A/mm^2): 1e-7",
       b + "the current potential spans 4.29e+010 windings of 1e-005 A (\"Winding current density "
           "(A/mm^2)\" times \"Area per winding (cm^2)\"; the potential grows with \"Bmax\" and falls with "
           "\"Scaling k\"): ..."},
      // Too little potential for one winding: an empty windings file and a zero map would pass for results.
      {"Bmax: 1e-9", b + "the current potential spans 1.79e-007 windings of 3000 A ..."},
  };
  for (const auto& [value, error] : cases) {
    const Outcome r = run(parameter_block() + magnet_block("A") + with(magnet_block("B"), value));
    EXPECT_EQ(ending(r, error), (Ending{1, out, error, files}));
  }
}

// A child setup that puts what `make` creates in place of config.txt.
std::function<void()> replace_config(int (*make)()) {
  return [make] {
    if (::unlink("config.txt") != 0 || make() != 0) ::_exit(127);
  };
}

// The run's surroundings turned against it: a directory in the way of a file, a file-size limit (which used
// to kill it by SIGXFSZ), names at the file system's limit (the temporary name once made them too long), a
// standard output that cannot be written (once a silent success or death by SIGPIPE) or is closed. Each
// failure is reported, the other files are written, and no temporary file is left.
TEST(Driver, HostileSurroundingsAreReportedAndTheOtherFilesWritten) {
  const std::string fit(241, 'n'), too_long(242, 'm');  // "windings_" + name + ".cond": 255 and 256 bytes
  const auto full_device = [] {
    if (::dup2(::open("/dev/full", O_WRONLY), 1) < 0) ::_exit(127);
  };
  const auto closed_pipe = [] {
    int fd[2];
    if (::pipe(fd) != 0 || ::close(fd[0]) != 0 || ::dup2(fd[1], 1) < 0) ::_exit(127);
  };
  const auto file_size_limit = [] {
    const rlimit one_mib{1 << 20, 1 << 20};  // the conductor files are 1.8 MB, the others smaller
    if (::setrlimit(RLIMIT_FSIZE, &one_mib) != 0) ::_exit(127);
  };
  const std::string too_large =
      "cannot write windings_A.cond: File too large\ncannot write windings_B.cond: File too large\n";
  const Files files_of_fit = {"config.txt", "fieldmap_" + fit + ".csv", "windings_" + fit + ".cond",
                              "windings_" + fit + ".csv"};
  const struct {
    std::string name;  // of the one magnet, or both A and B when empty
    std::function<void()> setup;
    int exit_code;
    std::string out, err;
    Files files;
  } cases[] = {
      {"", [] { std::filesystem::create_directory("windings_A.csv"); }, 1, kOutputAB,
       "cannot write windings_A.csv: Is a directory\n", kFilesOfAB},
      // Both windings files of a magnet failing (they are written at once): reported in the files' order.
      {"",
       [] {
         std::filesystem::create_directory("windings_A.csv");
         std::filesystem::create_directory("windings_A.cond");
       },
       1, kOutputAB,
       "cannot write windings_A.csv: Is a directory\ncannot write windings_A.cond: Is a directory\n",
       kFilesOfAB},
      {"",
       file_size_limit,
       1,
       kOutputAB,
       too_large,
       {"config.txt", "fieldmap_A.csv", "fieldmap_B.csv", "windings_A.csv", "windings_B.csv"}},
      {fit, {}, 0, "Parameters Test set\n" + magnet_lines(fit) + "Done\n", "", files_of_fit},
      {too_long,
       {},
       1,
       "Parameters Test set\n" + magnet_lines(too_long) + "Done\n",
       "cannot write windings_" + too_long + ".cond: File name too long\n",
       {"config.txt", "fieldmap_" + too_long + ".csv", "windings_" + too_long + ".csv"}},
      {"", full_device, 1, "", "cannot write standard output: No space left on device\n", kFilesOfAB},
      {"", closed_pipe, 1, "", "cannot write standard output: Broken pipe\n", kFilesOfAB},
      {"", [] { ::close(1); }, 1, "", "cannot write standard output: Bad file descriptor\n", kFilesOfAB},
      // A config.txt that would be read forever (a FIFO without a writer, /dev/zero) or is too large for one.
      {"",
       replace_config([] { return ::mkfifo("config.txt", 0600); }),
       1,
       "",
       "config.txt: cannot be read: not a regular file\n",
       {"config.txt"}},
      {"",
       replace_config([] { return ::symlink("/dev/zero", "config.txt"); }),
       1,
       "",
       "config.txt: cannot be read: not a regular file\n",
       {"config.txt"}},
      {"",
       [] { (void)::truncate("config.txt", (16 << 20) + 1); },
       1,
       "",
       "config.txt: cannot be read: larger than a configuration can be (16 MiB)\n",
       {"config.txt"}},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.name.empty() ? kConfigAB : parameter_block() + magnet_block(c.name), c.setup);
    EXPECT_EQ(ending(r), (Ending{c.exit_code, c.out, c.err, c.files}));
  }
}

// The sanitizers' shadow memory does not fit under an address-space limit.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(Driver, RunningOutOfMemoryEndsWithAMessage) {
  // Four FFT matrices of 128 MiB pass the check against physical memory but not a 256 MiB address space.
  const Outcome r = run(with(parameter_block() + magnet_block("A"), "FFT meshes: 4096"), [] {
    const rlimit limit{256 << 20, 256 << 20};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(127);
  });
  EXPECT_EQ(ending(r),
            (Ending{1, "Parameters Test set\nMagnet A\n", "magnet \"A\": out of memory\n", {"config.txt"}}));
}
#endif

}  // namespace
}  // namespace expcoil
