// The program's field map: slab by slab, byte for byte the map computed whole.
#include "app/field_map_run.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "io/program/field_map_csv.hpp"
#include "lib/errors.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

TEST(FieldMapRun, SlabsOfAnySizeGiveTheWholeMapsFile) {
  ParameterSet set;
  set.good_field_height = 0.05;
  for (int a = 0; a < 3; ++a) set.fieldmap_cell[a] = 0.1 / (a + 1), set.fieldmap_extension[a] = 0.05;
  MagnetSpec magnet;
  magnet.params = set, magnet.length = 0.4, magnet.winding_centre_to_midplane = 0.1;
  const FieldMapGrid grid = field_map_grid(magnet);
  ASSERT_EQ(grid.points(), 4 * 4 * 16);
  WindingSet windings;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-0.5, 0.5);
  for (int n = 0; n < 40; ++n)
    windings.append({u(rng), u(rng), u(rng), u(rng), u(rng), u(rng), 100 * u(rng)});

  test::TempDir dir;
  field_map_csv_write(field_map_compute(windings, grid), dir / "whole.csv");
  const std::string whole = test::read_file(dir / "whole.csv");
  int argc = 1;
  char name[] = "test";
  char* args[] = {name, nullptr};
  char** argv = args;
  Cluster cluster(argc, argv);
  // Slabs that divide the 256 points and slabs that do not, with worker counts that split them unevenly.
  for (const auto& [slab, workers] :
       {std::pair{1, 1u}, {7, 2u}, {45, 3u}, {255, 2u}, {256, 1u}, {1000, 7u}}) {
    std::atomic<std::int64_t> done{0};
    field_map_run(windings, grid, dir / "slabs.csv", cluster, &done, slab, workers);
    EXPECT_EQ(test::read_file(dir / "slabs.csv"), whole) << slab;
    EXPECT_EQ(done.load(), 256) << slab;
  }
  // A file that cannot be written stops the map: nothing under its name, the reason reported.
  std::filesystem::create_directory(dir / "blocked.csv");
  EXPECT_THROW(field_map_run(windings, grid, dir / "blocked.csv", cluster, nullptr, 7), WriteError);
  EXPECT_EQ(test::list_dir(dir.path()), (std::vector<std::string>{"blocked.csv", "slabs.csv", "whole.csv"}));
}

}  // namespace
}  // namespace expcoil
