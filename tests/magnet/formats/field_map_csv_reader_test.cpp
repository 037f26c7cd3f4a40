// The streaming reader of fieldmap_<name>.csv: every way a table can fail to be a complete regular grid
// is refused at its first offending line, and a good table comes back exactly.
#include "magnet/formats/field_map_csv_reader.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "lib/number_format.hpp"
#include "magnet/formats/export_error.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

// Rows of a 3 x 4 x 5 grid from (0.04, -0.17, -0.6) with cells (0.01, 0.01, 0.02) as the program writes
// them (the nodes are not binary fractions), B = (i, j, k) / 7. Line n of the file is rows[n - 1].
std::vector<std::string> grid_lines() {
  std::vector<std::string> rows{"x (m),y,z, Bx (T),By,Bz"};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 4; ++j)
      for (int k = 0; k < 5; ++k)
        rows.push_back(format_general(i * 0.01 + 0.04, 15) + "," + format_general(j * 0.01 - 0.17, 15) + "," +
                       format_general(k * 0.02 - 0.6, 15) + ", " + format_general(i / 7.0, 15) + "," +
                       format_general(j / 7.0, 15) + "," + format_general(k / 7.0, 15));
  return rows;
}

std::string joined(const std::vector<std::string>& rows, const char* end = "\r\n") {
  std::string text;
  for (const std::string& r : rows) text.append(r).append(end);
  return text;
}

TEST(FieldMapCsvReader, AGoodTableComesBackWithItsGrid) {
  test::TempDir dir;
  // Line ends LF or CR LF, blank lines after the data.
  for (const std::string& text : {joined(grid_lines()), joined(grid_lines(), "\n") + "\n  \n"}) {
    test::write_file(dir / "map.csv", text);
    const FieldMap map = field_map_csv_read_regular(dir / "map.csv");
    EXPECT_EQ(map.grid.count[0], 3);
    EXPECT_EQ(map.grid.count[1], 4);
    EXPECT_EQ(map.grid.count[2], 5);
    EXPECT_DOUBLE_EQ(map.grid.cell[0], 0.01);
    EXPECT_DOUBLE_EQ(map.grid.cell[2], 0.02);
    EXPECT_EQ(map.grid.min[1], -0.17);
    EXPECT_EQ(map.grid.max[2], -0.52);
    ASSERT_EQ(map.b.size(), 180u);
    EXPECT_EQ(map.b[3 * 59], std::stod(format_general(2 / 7.0, 15)));      // the last node's Bx
    EXPECT_EQ(map.b[3 * 26 + 2], std::stod(format_general(1 / 7.0, 15)));  // node (1, 1, 1)
  }
}

// Each damage to the table, the line reported and the start of the reason.
TEST(FieldMapCsvReader, EveryDamageIsRefusedAtItsFirstOffendingLine) {
  using Edit = std::function<void(std::vector<std::string>&)>;
  const std::string off_grid = "found the point ";
  const struct {
    const char* what;
    Edit edit;
    std::int64_t line;
    std::string reason;
  } cases[] = {
      {"a row missing", [](auto& r) { r.erase(r.begin() + 9); }, 10, off_grid},
      {"a row repeated", [](auto& r) { r.insert(r.begin() + 9, r[9]); }, 11, off_grid},
      {"rows swapped", [](auto& r) { std::swap(r[9], r[10]); }, 10, off_grid},
      {"off the spacing", [](auto& r) { r[11] = "0.04,-0.16,-0.5998, 0,0,0"; }, 12, off_grid},
      {"a slab short", [](auto& r) { r.erase(r.begin() + 30); }, 31, off_grid},
      {"the last row missing", [](auto& r) { r.pop_back(); }, 61, "the file ends inside an x slab (59 rows"},
      {"a row after the last", [](auto& r) { r.push_back(r.back()); }, 62,
       "a row after the grid's last point (0.06, -0.14, -0.52)"},
      {"a field not finite", [](auto& r) { r[20] = "0.04,-0.14,-0.52, 0,nan,0"; }, 21,
       "By is not a finite number"},
      {"a row not six numbers", [](auto& r) { r[7] = "0.04,-0.16,-0.56, 0,0"; }, 8, "expected six numbers"},
      {"the last row not numbers", [](auto& r) { r.back() = "end"; }, 61, "expected six numbers"},
      {"a blank line inside", [](auto& r) { r.insert(r.begin() + 5, ""); }, 6,
       "a blank line inside the data"},
      {"z falling", [](auto& r) { std::swap(r[1], r[2]); }, 3, "z does not increase"},
      {"one z node",
       [](auto& r) {
         r = {r[0], r[1], r[6]};
       },
       3, "the grid has a single node along z"},
      {"not a field map", [](auto& r) { r[0] = "x1 (m),y1,z1, x2,y2,z2, I (Amps)"; }, 1, "not a field map"},
      {"no rows", [](auto& r) { r.resize(1); }, 2, "no rows under the header"},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> rows = grid_lines();
    c.edit(rows);
    test::write_file(dir / "map.csv", joined(rows));
    try {
      field_map_csv_read_regular(dir / "map.csv");
      ADD_FAILURE() << "accepted";
    } catch (const FileFormatError& e) {
      EXPECT_EQ(e.line(), c.line);
      EXPECT_EQ(e.reason().substr(0, c.reason.size()), c.reason) << e.what();
      EXPECT_EQ(e.path(), (dir / "map.csv").string());
    }
  }
}

}  // namespace
}  // namespace expcoil
