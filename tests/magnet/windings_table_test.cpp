#include "magnet/windings_table.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace expcoil {
namespace {

using test::list_dir;
using test::read_file;
using test::TempDir;

constexpr char kHeader[] = "x1 (m),y1,z1, x2,y2,z2, I (Amps)\r\n";

std::string written(const WindingSet& w) {
  TempDir dir;
  const std::string path = dir / "windings_Q1.csv";
  std::string error;
  EXPECT_TRUE(windings_table_write(w, path, error)) << error;
  EXPECT_EQ(error, "");
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"windings_Q1.csv"});
  return read_file(path);
}

TEST(WindingsTable, EmptySetGivesTheHeaderAlone) { EXPECT_EQ(written(WindingSet()), kHeader); }

TEST(WindingsTable, OneLinePerSegmentInSetOrder) {
  WindingSet w;
  w.append(Segment{0, 0.05, -1.2, 0.001, 0.05, -1.2, 250});
  w.append(Segment{1.25e-05, 0.0001, -0.0, 1.0 / 3, 2.5e20, -1e-300, -100});
  w.append(Segment{0.3, 0.3, 0.3, 0.3, 0.3, 0.3, 1e15});  // zero length: written like any other
  w.append(Segment{123456789012345.6,                     // below 1e15: fixed notation
                   0.1 + 0.2, 1e-5, 9.99999999999999e-5, 1e14, 1e15, 5e-324});
  EXPECT_EQ(written(w), std::string(kHeader) +
                            "0,0.05,-1.2, 0.001,0.05,-1.2, 250\r\n"
                            "1.25e-005,0.0001,-0, 0.333333333333333,2.5e+020,-1e-300, -100\r\n"
                            "0.3,0.3,0.3, 0.3,0.3,0.3, 1e+015\r\n"
                            "123456789012346,0.3,1e-005, 9.99999999999999e-005,100000000000000,1e+015, "
                            "4.94065645841247e-324\r\n");
}

TEST(WindingsTable, ReplacesAnOlderFile) {
  TempDir dir;
  const std::string path = dir / "windings_Q1.csv";
  test::write_file(path, "an older, longer file from an earlier run\n");
  WindingSet w;
  w.append(Segment{1, 2, 3, 4, 5, 6, 7});
  std::string error;
  ASSERT_TRUE(windings_table_write(w, path, error)) << error;
  EXPECT_EQ(read_file(path), std::string(kHeader) + "1,2,3, 4,5,6, 7\r\n");
}

TEST(WindingsTable, UnwritablePathIsReportedWithItsReason) {
  TempDir dir;
  const std::string path = dir / "windings_Q1.csv";
  std::filesystem::create_directory(path);
  WindingSet w;
  w.append(Segment{1, 2, 3, 4, 5, 6, 7});
  std::string error;
  EXPECT_FALSE(windings_table_write(w, path, error));
  EXPECT_EQ(error, "cannot write " + path + ": Is a directory");
  // The directory in the way is untouched and no temporary is left beside it.
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"windings_Q1.csv"});

  const std::string missing = dir / "no such directory" / "windings_Q1.csv";
  EXPECT_FALSE(windings_table_write(w, missing, error));
  EXPECT_EQ(error, "cannot write " + missing + ": No such file or directory");
}

}  // namespace
}  // namespace expcoil
