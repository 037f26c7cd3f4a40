// The reader of fieldmap_<name>.csv: a good table comes back exactly, with its regular grid or with its
// axes as written (the FieldMapTable that writes the same bytes again), and every way a table can fail
// to be a complete grid is refused at its first offending line.
#include "magnet/formats/field_map_csv_reader.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "magnet/formats/export.hpp"
#include "magnet/formats/field_map_csv.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

namespace fs = std::filesystem;

// The grid's node `i` along `axis`: x from 0.04, y from -0.17 in steps of 0.01, z from -0.6 in steps of
// 0.02, as the program computes them (not binary fractions).
double node(int axis, int i) {
  return axis == 0 ? i * 0.01 + 0.04 : axis == 1 ? i * 0.01 - 0.17 : i * 0.02 - 0.6;
}

// Rows of an nx x ny x nz grid as the program writes them, B = (i, j, k) / 7. Line n of the file is
// rows[n - 1].
std::vector<std::string> grid_lines(int nx = 3, int ny = 4, int nz = 5) {
  std::vector<std::string> rows{"x (m),y,z, Bx (T),By,Bz"};
  for (int i = 0; i < nx; ++i)
    for (int j = 0; j < ny; ++j)
      for (int k = 0; k < nz; ++k)
        rows.push_back(format_general(node(0, i), 15) + "," + format_general(node(1, j), 15) + "," +
                       format_general(node(2, k), 15) + ", " + format_general(i / 7.0, 15) + "," +
                       format_general(j / 7.0, 15) + "," + format_general(k / 7.0, 15));
  return rows;
}

std::string joined(const std::vector<std::string>& rows, const char* end = "\r\n") {
  std::string text;
  for (const std::string& r : rows) text.append(r).append(end);
  return text;
}

// The whole map through the reader with regular spacing, its end check included.
FieldMap read_regular(const std::string& path) {
  FieldMapCsvReader reader(path);
  const auto points = static_cast<std::size_t>(reader.grid().points());
  FieldMap map{reader.grid(), std::vector<double>(3 * points)};
  EXPECT_EQ(reader.read(map.b.data(), points), points);
  double spare[3];
  EXPECT_EQ(reader.read(spare, 1), 0u);
  return map;
}

// Regular spacing gives the grid, as read the axes exactly as written; both give every field value.
TEST(FieldMapCsvReader, AGoodTableComesBackWithItsGridAndItsAxesAsWritten) {
  test::TempDir dir;
  // Line ends LF or CR LF, blank lines after the data.
  for (const std::string& text : {joined(grid_lines()), joined(grid_lines(), "\n") + "\n  \n"}) {
    test::write_file(dir / "map.csv", text);
    const FieldMap map = read_regular(dir / "map.csv");
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
    const FieldMapTable table = field_map_csv_read(dir / "map.csv");
    const std::vector<double>* axes[3] = {&table.x, &table.y, &table.z};
    for (int a = 0; a < 3; ++a) {
      ASSERT_EQ(static_cast<std::int32_t>(axes[a]->size()), map.grid.count[a]);
      for (int i = 0; i < map.grid.count[a]; ++i)
        EXPECT_EQ((*axes[a])[i], std::stod(format_general(node(a, i), 15))) << a << " " << i;
    }
    EXPECT_EQ(table.b, map.b);
  }
  field_map_csv_write(field_map_csv_read(dir / "map.csv"), dir / "again.csv");
  EXPECT_EQ(test::read_file(dir / "again.csv"), joined(grid_lines()));
}

// The program writes a single node along an axis when an extension is small: cell 0 there, every row
// exactly on the node, the same bytes written again; the export formats refuse such a grid.
TEST(FieldMapCsvReader, SingleNodeAxesAreComparedExactlyAndRefusedForExport) {
  test::TempDir dir;
  for (int a = 0; a < 3; ++a) {
    SCOPED_TRACE(a);
    int n[3] = {3, 4, 5};
    n[a] = 1;
    std::vector<std::string> rows = grid_lines(n[0], n[1], n[2]);
    test::write_file(dir / "map.csv", joined(rows));
    const FieldMap map = read_regular(dir / "map.csv");
    for (int c = 0; c < 3; ++c) EXPECT_EQ(map.grid.count[c], n[c]);
    EXPECT_EQ(map.grid.cell[a], 0.0);
    EXPECT_EQ(map.grid.min[a], map.grid.max[a]);
    field_map_csv_write(field_map_csv_read(dir / "map.csv"), dir / "again.csv");
    EXPECT_EQ(test::read_file(dir / "again.csv"), joined(rows));
    try {
      export_csv(dir / "map.csv", "vtk", dir / "map.vti");
      ADD_FAILURE() << "exported";
    } catch (const FileFormatError& e) {
      EXPECT_EQ(e.reason(), std::string("the grid has a single node along ") + "xyz"[a] +
                                "; the export formats need at least two");
    }
    EXPECT_FALSE(fs::exists(dir / "map.vti"));
    // The next double after the node, on line 3, is off the grid.
    double p[3] = {node(0, 0), node(1, a == 2 ? 1 : 0), node(2, a == 2 ? 0 : 1)};
    p[a] = std::nextafter(std::stod(format_general(p[a], 15)), HUGE_VAL);
    rows[2] = format_general(p[0], 17) + "," + format_general(p[1], 17) + "," + format_general(p[2], 17) +
              ", 0,0,0";
    test::write_file(dir / "map.csv", joined(rows));
    for (const FieldMapSpacing spacing : {FieldMapSpacing::regular, FieldMapSpacing::as_read}) {
      try {
        FieldMapCsvReader reader(dir / "map.csv", spacing);
        double b[3 * 60];
        reader.read(b, 60);
        ADD_FAILURE() << "accepted";
      } catch (const FileFormatError& e) {
        EXPECT_EQ(e.line(), 3);
        EXPECT_EQ(e.reason().rfind("found the point ", 0), 0u) << e.what();
      }
    }
  }
}

// Each damage to the table, the line reported and the start of the reason, with regular spacing and as
// read where that differs (line -1: accepted).
TEST(FieldMapCsvReader, EveryDamageIsRefusedAtItsFirstOffendingLine) {
  using Edit = std::function<void(std::vector<std::string>&)>;
  const char* const off_grid = "found the point ";
  const struct {
    const char* what;
    Edit edit;
    std::int64_t line;
    const char* reason;
    std::int64_t as_read_line = 0;  // 0: as with regular spacing
    const char* as_read_reason = "";
  } cases[] = {
      {"a row missing", [](auto& r) { r.erase(r.begin() + 9); }, 10, off_grid},
      {"a row repeated", [](auto& r) { r.insert(r.begin() + 9, r[9]); }, 11, off_grid},
      {"rows swapped", [](auto& r) { std::swap(r[9], r[10]); }, 10, off_grid},
      {"off the spacing", [](auto& r) { r[11] = "0.04,-0.16,-0.5998, 0,0,0"; }, 12, off_grid},
      {"uneven z",
       [](auto& r) {
         for (std::size_t n = 3; n < r.size(); n += 5) r[n].replace(r[n].find(",-0.56,"), 7, ",-0.555,");
       },
       4, off_grid, -1},
      {"a slab short", [](auto& r) { r.erase(r.begin() + 30); }, 31, off_grid},
      {"the last row missing", [](auto& r) { r.pop_back(); }, 61, "the file ends inside an x slab (59 rows"},
      {"a row after the last", [](auto& r) { r.push_back(r.back()); }, 62,
       "a row after the grid's last point (0.06, -0.14, -0.52)", 62, off_grid},
      {"a field not finite", [](auto& r) { r[20] = "0.04,-0.14,-0.52, 0,nan,0"; }, 21,
       "By is not a finite number"},
      {"the first x not finite", [](auto& r) { r[1] = "nan,-0.17,-0.6, 0,0,0"; }, 2,
       "x is not a finite number"},
      {"a later x not finite", [](auto& r) { r[30] = "inf,-0.16,-0.54, 0,0,0"; }, 31,
       "x is not a finite number"},
      {"a row not six numbers", [](auto& r) { r[7] = "0.04,-0.16,-0.56, 0,0"; }, 8, "expected six numbers"},
      {"the last row not numbers", [](auto& r) { r.back() = "end"; }, 61, "expected six numbers"},
      {"a blank line inside", [](auto& r) { r.insert(r.begin() + 5, ""); }, 6,
       "a blank line inside the data"},
      {"z falling", [](auto& r) { std::swap(r[1], r[2]); }, 3, "z does not increase", 7, off_grid},
      {"not a field map", [](auto& r) { r[0] = "x1 (m),y1,z1, x2,y2,z2, I (Amps)"; }, 1, "not a field map"},
      {"no rows", [](auto& r) { r.resize(1); }, 2, "no rows under the header"},
  };
  test::TempDir dir;
  const std::string path = (dir / "map.csv").string();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> rows = grid_lines();
    c.edit(rows);
    test::write_file(path, joined(rows));
    for (const bool regular : {true, false}) {
      const bool same = regular || c.as_read_line == 0;
      const std::int64_t line = same ? c.line : c.as_read_line;
      const std::string reason = same ? c.reason : c.as_read_reason;
      try {
        if (regular) {
          read_regular(path);
        } else {
          field_map_csv_read(path);
        }
        EXPECT_EQ(line, -1) << "accepted";
      } catch (const FileFormatError& e) {
        EXPECT_EQ(e.line(), line) << e.what();
        EXPECT_EQ(e.reason().substr(0, reason.size()), reason) << e.what();
        EXPECT_EQ(e.path(), path);
      }
    }
  }
}

}  // namespace
}  // namespace expcoil
