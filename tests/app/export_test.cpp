// expcoil-export as its users run it: on the files the real expcoil wrote, in a scratch directory.
#include "app/export.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "io/export/export.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

using Files = std::vector<std::string>;

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
      {{"opal", "fieldmap_m.csv", "--opal-order=xyz"},
       2,
       usage("unknown option or value '--opal-order=xyz'")},
      {{"opal", "fieldmap_m.csv", "fieldmap_m.csv"}, 2, usage("OUTPUT is the input file")},
      {{"opal", "missing.csv"}, 1, "cannot read missing.csv: No such file or directory\n"},
      {{"makegrid", "windings_w.csv"},
       1,
       "windings_w.csv:2: the winding through this segment does not close: no segment of 5 A continues from "
       "(1, 0, 0); MAKEGRID takes closed loops only\n"},
      {{"vtk", "fieldmap_m.csv", "no/such/dir/out.vti"}, 1, "cannot write no/such/dir/out.vti: "},
  };
  for (const auto& c : cases) {
    const test::RunResult r = test::run_export_program(dir.path(), c.arguments);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_TRUE(c.err.back() == '\n' ? r.err == c.err : r.err.starts_with(c.err)) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(test::list_dir(dir.path()), before);
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
