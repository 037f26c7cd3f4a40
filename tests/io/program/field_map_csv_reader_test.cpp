// The reader of fieldmap_<name>.csv: a good table comes back exactly, with its regular grid or with its
// axes as written, and every way a table can fail to be a complete grid is refused at its first
// offending line.
#include "io/program/field_map_csv_reader.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>

#include "io/export/export.hpp"
#include "io/program/field_map_csv.hpp"
#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

// Node i along an axis as the program computes it (not binary fractions): x from 0.04, y from -0.17 in
// steps of 0.01, z from -0.6 in steps of 0.02.
double node(int axis, int i) {
  return i * (axis == 2 ? 0.02 : 0.01) + (axis == 0 ? 0.04 : axis == 1 ? -0.17 : -0.6);
}

// Rows of an nx x ny x nz grid as the program writes them, B = (i, j, k) / 7. Line n is rows[n - 1].
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

std::string joined(const std::vector<std::string>& rows) {
  std::string text;
  for (const std::string& r : rows) text.append(r).append("\r\n");
  return text;
}

// The whole map through the reader with regular spacing, its end check included.
FieldMap read_regular(const std::string& path) {
  FieldMapCsvReader reader(path);
  const auto points = static_cast<std::size_t>(reader.grid().points());
  FieldMap map{reader.grid(), std::vector<double>(3 * points)};
  EXPECT_EQ(reader.read(map.b.data(), points), points);
  EXPECT_EQ(reader.read(map.b.data(), 1), 0u);
  return map;
}

// Single nodes among them (the program writes those when an extension is small): the regular grid, cell 0
// along a single node, the axes exactly as written, every field value, the same bytes written again. The
// export formats refuse a single node, and rows must lie on it exactly.
TEST(FieldMapCsvReader, AGoodTableComesBackExactly) {
  test::TempDir dir;
  const std::string path = (dir / "map.csv").string();
  for (const std::array<int, 3> n : {std::array{3, 4, 5}, {1, 4, 5}, {3, 1, 5}, {3, 4, 1}}) {
    SCOPED_TRACE(n[0] * 100 + n[1] * 10 + n[2]);
    const std::vector<std::string> rows = grid_lines(n[0], n[1], n[2]);
    test::write_file(path, joined(rows) + "\r\n \t\r\n");  // blank lines may end the file
    const FieldMap map = read_regular(path);
    const FieldMapTable table = field_map_csv_read(path);
    const std::vector<double>* axes[3] = {&table.x, &table.y, &table.z};
    for (int a = 0; a < 3; ++a) {
      ASSERT_EQ(map.grid.count[a], n[a]);
      ASSERT_EQ(axes[a]->size(), static_cast<std::size_t>(n[a]));
      for (int i = 0; i < n[a]; ++i) EXPECT_EQ((*axes[a])[i], std::stod(format_general(node(a, i), 15)));
      EXPECT_EQ(map.grid.min[a], axes[a]->front());
      EXPECT_EQ(map.grid.max[a], axes[a]->back());
      EXPECT_NEAR(map.grid.cell[a], n[a] > 1 ? node(a, 1) - node(a, 0) : 0.0, 1e-15);
    }
    for (std::size_t v = 0; v < map.b.size(); ++v) {
      const int p = static_cast<int>(v / 3), index[3] = {p / (n[1] * n[2]), p / n[2] % n[1], p % n[2]};
      EXPECT_EQ(map.b[v], std::stod(format_general(index[v % 3] / 7.0, 15))) << v;
    }
    EXPECT_EQ(table.b, map.b);
    field_map_csv_write(table, dir / "again.csv");
    EXPECT_EQ(test::read_file(dir / "again.csv"), joined(rows));
    const int a = n[0] == 1 ? 0 : n[1] == 1 ? 1 : 2;
    EXPECT_EQ(test::thrown<FileFormatError>([&] { export_csv(path, "vtk", dir / "map.vti"); }),
              n[a] > 1 ? "(nothing thrown)"
                       : path + ":" + std::to_string(n[0] * n[1] * n[2] + 1) +  // the last row
                             ": the grid has a single node along " + "xyz"[a] +
                             "; the export formats need at least two");
  }
}

// A map of several blocks of lines (the writer makes blocks on the workers), handed over in pieces that
// split blocks and rows, with any worker count: every line in its place, the bytes of one line at a time.
TEST(FieldMapCsvWriter, PiecesAndWorkerCountsChangeNoByte) {
  test::TempDir dir;
  const int n[3] = {7, 40, 37};
  std::vector<double> x, y, z, b;
  for (int i = 0; i < n[0]; ++i) x.push_back(node(0, i));
  for (int j = 0; j < n[1]; ++j) y.push_back(node(1, j));
  for (int k = 0; k < n[2]; ++k) z.push_back(node(2, k));
  for (int i = 0; i < n[0]; ++i)
    for (int j = 0; j < n[1]; ++j)
      for (int k = 0; k < n[2]; ++k) b.insert(b.end(), {i / 7.0, j / 7.0, k / 7.0});
  const std::string expected = joined(grid_lines(n[0], n[1], n[2]));
  const std::int64_t total = static_cast<std::int64_t>(b.size() / 3);
  for (const unsigned workers : {1u, 2u, 5u}) {
    SCOPED_TRACE(workers);
    const std::string path = (dir / "map.csv").string();
    FieldMapCsvWriter writer(path, x, y, z);
    std::int64_t done = 0;
    for (const std::int64_t piece : {std::int64_t{1}, std::int64_t{4095}, std::int64_t{4097}, total}) {
      const std::int64_t m = std::min(piece, total - done);
      writer.write(b.data() + 3 * done, m, workers);
      done += m;
    }
    writer.commit();
    EXPECT_EQ(test::read_file(path), expected);
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
    int line;
    const char* reason;
    int as_read_line = 0;  // 0: as with regular spacing
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
      {"off a single z node, by the next double",
       [](auto& r) {
         r = grid_lines(3, 4, 1);
         r[2] = "0.04,-0.16,-0.59999999999999987, 0,0,0";
       },
       3, off_grid},
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
      const int line = same ? c.line : c.as_read_line;
      const std::string want =
          line < 0 ? "(nothing thrown)"
                   : path + ":" + std::to_string(line) + ": " + (same ? c.reason : c.as_read_reason);
      const std::string got = test::thrown<FileFormatError>([&] {
        if (regular)
          read_regular(path);
        else
          field_map_csv_read(path);
      });
      EXPECT_EQ(got.substr(0, want.size()), want);
    }
  }
}

}  // namespace
}  // namespace expcoil
