// expcoil-export as its users run it: on the files the real expcoil wrote, in a scratch directory.
#include "app/export.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/export/export.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using Files = std::vector<std::string>;
using namespace std::string_literals;

// Every format takes what expcoil wrote for a straight and a bent magnet, under the input's name with the
// format's extension; field maps and windings go to the formats that hold them.
TEST(ExportProgram, ConvertsTheProgramsOwnFilesIntoEveryFormat) {
  test::TempDir dir;
  test::write_file(dir / "config.txt",
                   test::parameter_block() + test::magnet_block("S") + test::magnet_block("B", 15));
  ASSERT_EQ(test::run_program(dir.path()).exit_code, 0);
  Files want = test::list_dir(dir.path());
  for (const ExportFormat& f : export_formats()) {
    for (const std::string magnet : {"S", "B"}) {
      for (const bool windings : {false, true}) {
        const std::string_view extension = windings ? f.windings_extension : f.field_map_extension;
        if (extension.empty()) continue;
        const std::string input = (windings ? "windings_" : "fieldmap_") + magnet + ".csv";
        const test::RunResult r = test::run_export_program(dir.path(), {std::string(f.name), input});
        EXPECT_EQ(r.exit_code, 0) << f.name << " " << input << ": " << r.err;
        const std::string output = input.substr(0, input.size() - 4) + std::string(extension);
        EXPECT_EQ(r.out.substr(0, 6 + output.size()), "wrote " + output);
        want.push_back(output);
      }
    }
  }
  std::sort(want.begin(), want.end());
  EXPECT_EQ(test::list_dir(dir.path()), want);
  // The bent magnet's windings close into loops of one current, two layers.
  const std::string coils = test::read_file(dir / "windings_B.coils");
  EXPECT_EQ(coils.rfind("periods 1\nbegin filament\nmirror NIL\n", 0), 0u);
  EXPECT_NE(coils.find(" 1 B\n"), std::string::npos);
}

// Messages and exit codes: 2 for a command line that cannot work, 1 for an input the format cannot take
// (the readers' and the chaining's own messages are their tests') or an output that cannot be written, and
// nothing written then.
TEST(ExportProgram, RefusesWithAClearMessageAndLeavesNoOutput) {
  test::TempDir dir;
  test::write_file(dir / "fieldmap_m.csv",
                   "x (m),y,z, Bx (T),By,Bz\r\n0,0,0, 1,2,3\r\n0,0,1, 1,2,3\r\n0,1,0, 1,2,3\r\n"
                   "0,1,1, 1,2,3\r\n1,0,0, 1,2,3\r\n1,0,1, 1,2,3\r\n1,1,1, 1,2,3\r\n");
  test::write_file(dir / "windings_w.csv", "x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n0,0,0, 1,0,0, 5\r\n");
  test::write_file(dir / "fieldmap_nul.csv",
                   "x (m),y,z, Bx (T),By,Bz\r\n0,0,0, 1,2,3\r\n0,0,1, 1,2\0"
                   "3\r\n"s);
  const Files before = test::list_dir(dir.path());
  const auto usage = [](const std::string& what) {
    return "expcoil-export: " + what + "\nTry 'expcoil-export --help'.\n";
  };
  const struct {
    std::vector<std::string> arguments;
    int exit_code;
    std::string err;  // the whole message, or the start of one the system words
  } cases[] = {
      {{}, 2, usage("expected FORMAT INPUT [OUTPUT]")},
      {{"gpt", "fieldmap_m.csv"},
       2,
       usage("unknown export format 'gpt' (known: opal, opal-h5, openpmd, bdsim, g4beamline, tosca, vtk, "
             "makegrid)")},
      {{"makegrid", "fieldmap_m.csv"},
       2,
       usage("makegrid holds windings, and fieldmap_m.csv is a field map")},
      {{"opal", "fieldmap_m.csv", "--opal-order=documented"},
       2,
       usage("unknown option or value '--opal-order=documented'")},
      {{"bdsim", "fieldmap_m.csv", "--bdsim-order=zyx"},
       2,
       usage("--bdsim-order takes xyzt or tzyx, not 'zyx'")},
      // Finer than 1e-12 m, vertex cells saturate and chaining goes quadratic.
      {{"makegrid", "windings_w.csv", "--join-tolerance=1e-30"},
       2,
       usage("--join-tolerance: the join tolerance must be 0 (ends meet exactly) or a finite length of at "
             "least 1e-12 m, not 1e-30")},
      {{"opal", "fieldmap_m.csv", "fieldmap_m.csv"}, 2, usage("OUTPUT is the input file")},
      {{"opal", "missing.csv"}, 1, "cannot read missing.csv: No such file or directory\n"},
      {{"makegrid", "windings_w.csv"},
       1,
       "windings_w.csv:2: the winding through this segment does not close: no segment of 5 A continues from "
       "(1, 0, 0); MAKEGRID takes closed loops only\n"},
      {{"vtk", "fieldmap_m.csv", "no/such/dir/out.vti"}, 1, "cannot write no/such/dir/out.vti: "},
      {{"tosca", "fieldmap_nul.csv", "out.TABLE"},
       1,
       "fieldmap_nul.csv:3: expected six numbers x,y,z, Bx,By,Bz, found '0,0,1, 1,2\\03'\n"},
  };
  for (const auto& c : cases) {
    const test::RunResult r = test::run_export_program(dir.path(), c.arguments);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_TRUE(c.err.back() == '\n' ? r.err == c.err : r.err.starts_with(c.err)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::list_dir(dir.path()), before);
  }
}

// expcoil-export in `dir` after `setup` has run in its process (limits, descriptors, signals).
test::RunResult run_export_with(const std::filesystem::path& dir, const std::vector<std::string>& arguments,
                                const std::function<void()>& setup) {
  return test::run_in_child([&] {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    setup();
    std::vector<char*> argv{const_cast<char*>(EXPCOIL_EXPORT_BINARY)};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(EXPCOIL_EXPORT_BINARY, argv.data());
    ::_exit(127);
  });
}

// A 10 x 10 x 10 map; `last_x`, when given, replaces the x of its last row.
std::string index_csv(const char* last_x = nullptr) {
  std::string text = "x (m),y,z, Bx (T),By,Bz\r\n";
  for (int p = 0; p < 1000; ++p) {
    const std::string x = p == 999 && last_x != nullptr ? last_x : std::to_string(p / 100 * 0.01);
    text += x + "," + std::to_string(p / 10 % 10 * 0.01) + "," + std::to_string(p % 10 * 0.01) + ", 1,2," +
            std::to_string(p) + "\r\n";
  }
  return text;
}

// The program's own handling (process.hpp): a file-size limit is a write error naming the system's
// reason (through HDF5 too), SIGTERM and SIGHUP end it by the signal with its temporaries gone, a full
// standard output is exit 1; each time nothing but the input is left.
TEST(ExportProgram, LimitsSignalsAndAFullStandardOutputEndWithAMessageAndNoTemporary) {
  test::TempDir dir;
  test::write_file(dir / "map.csv", index_csv());
  for (const char* format : {"opal", "opal-h5", "openpmd", "bdsim", "g4beamline", "tosca", "vtk"}) {
    const test::RunResult r = run_export_with(dir.path(), {format, "map.csv", "out"}, [] {
      const rlimit limit{16384, 16384};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(r.exit_code, 1) << format;
    EXPECT_TRUE(r.err.starts_with("cannot write out: ")) << r.err;
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    EXPECT_EQ(test::list_dir(dir.path()), Files{"map.csv"}) << format;
  }
  // Waiting for a FIFO that nobody writes to, with the copy of the input begun beside the output.
  ASSERT_EQ(::mkfifo((dir / "silent").c_str(), 0600), 0);
  for (const int signal : {SIGTERM, SIGHUP}) {
    const test::RunResult r = run_export_with(dir.path(), {"tosca", "silent", "out.TABLE"}, [signal] {
      const pid_t self = ::getpid();
      if (::fork() == 0) {
        ::usleep(300000);
        ::kill(self, signal);
        ::_exit(0);
      }
    });
    EXPECT_EQ(r.exit_code, 128 + signal) << r.err;
    EXPECT_EQ(test::list_dir(dir.path()), (Files{"map.csv", "silent"}));
  }
  const test::RunResult full = run_export_with(dir.path(), {"tosca", "map.csv", "out.TABLE"},
                                               [] { ::dup2(::open("/dev/full", O_WRONLY), 1); });
  EXPECT_EQ(full.exit_code, 1);
  EXPECT_EQ(full.err, "cannot write standard output: No space left on device\n");
  // An input that never ends.
  const test::RunResult zero = run_export_with(dir.path(), {"tosca", "/dev/zero", "out.TABLE"}, [] {});
  EXPECT_EQ(zero.exit_code, 1);
  EXPECT_EQ(zero.err, "cannot read /dev/zero: a device, not a file or a pipe\n");
  // An output that is a FIFO (or a device: /dev/null as root) is left as it is, not renamed over.
  for (const char* format : {"opal", "opal-h5", "openpmd", "bdsim", "g4beamline", "tosca", "vtk"}) {
    const test::RunResult r = run_export_with(dir.path(), {format, "map.csv", "silent"}, [] {});
    EXPECT_EQ(r.exit_code, 1) << format;
    EXPECT_EQ(r.err, "cannot write silent: not a regular file (a FIFO), which is left as it is\n") << format;
    EXPECT_TRUE(std::filesystem::is_fifo(dir / "silent") &&
                test::list_dir(dir.path()) == (Files{"map.csv", "out.TABLE", "silent"}));
  }
}

// A map that arrives through a FIFO converts as the file does (it is read once); a last row that claims
// 10^8 x nodes is refused at that row, within a memory limit far below the claim's 3 GB.
TEST(ExportProgram, PipedMapsConvertAndClaimedSizesCostNothing) {
  test::TempDir dir;
  const std::string map = index_csv();
  test::write_file(dir / "map.csv", map);
  test::write_file(dir / "claims.csv", index_csv("999999.99"));
  ASSERT_EQ(test::run_export_program(dir.path(), {"bdsim", "map.csv", "file.gz"}).exit_code, 0);
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const test::RunResult piped = run_export_with(dir.path(), {"bdsim", "fifo", "piped.gz"}, [&] {
    if (::fork() == 0) {
      test::write_file("fifo", map);
      ::_exit(0);
    }
  });
  EXPECT_EQ(piped.exit_code, 0) << piped.err;
  EXPECT_EQ(test::read_file(dir / "piped.gz"), test::read_file(dir / "file.gz"));
  const Files before = test::list_dir(dir.path());
  for (const char* format : {"tosca", "g4beamline", "bdsim", "opal-h5"}) {
    const test::RunResult r = run_export_with(dir.path(), {format, "claims.csv", "out"}, [] {
    // The sanitizers reserve terabytes of shadow address space, which no address-space limit allows.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
      const rlimit limit{std::size_t{512} << 20, std::size_t{512} << 20};
      ::setrlimit(RLIMIT_AS, &limit);
#endif
    });
    EXPECT_EQ(r.exit_code, 1) << format;
    EXPECT_TRUE(
        r.err.starts_with("claims.csv:1001: found the point (999999.99, 0.09, 0.09) where grid point "
                          "(9, 9, 9)"))
        << r.err;
    EXPECT_EQ(test::list_dir(dir.path()), before);
  }
}

// TOPAS 4.1 and later read the table only from a name ending in ".TABLE": the default, and a note
// on standard error for any other name.
TEST(ExportProgram, NamesTopasWouldRefuseAreNoted) {
  test::TempDir dir;
  test::write_file(dir / "map.csv", index_csv());
  const test::RunResult plain = test::run_export_program(dir.path(), {"tosca", "map.csv"});
  EXPECT_EQ(plain.out, "wrote map.TABLE (1000 points)\n");
  EXPECT_EQ(plain.err, "");
  // The text after the last '.' of the whole name, directories included, as TOPAS takes it.
  std::filesystem::create_directory(dir / "dir.TABLE");
  for (const std::string name : {"map.table", "map.csv.txt", "dir.TABLE/map"}) {
    const test::RunResult r = test::run_export_program(dir.path(), {"tosca", "map.csv", name});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(
        r.err.starts_with("note: TOPAS 4.1 and later read this table only from a name ending in "
                          "\".TABLE\""))
        << name << ": " << r.err;
  }
}

TEST(ExportProgram, HelpListsEveryFormatWithOneLine) {
  test::TempDir dir;
  const test::RunResult r = test::run_export_program(dir.path(), {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const ExportFormat& f : export_formats()) {
    std::string name(f.name);
    name.resize(12, ' ');
    EXPECT_NE(r.out.find("\n  " + name + std::string(f.summary) + "\n"), std::string::npos) << f.name;
  }
}

}  // namespace
}  // namespace expcoil
