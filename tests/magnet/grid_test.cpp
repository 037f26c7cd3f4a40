#include "magnet/grid.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>

#include "lib/workers.hpp"
#include "magnet/target.hpp"

namespace expcoil {
namespace {

class GridWorkers : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { set_processor_count(GetParam()); }
  void TearDown() override { set_processor_count(0); }
};

TEST_P(GridWorkers, EveryElementOnceAtItsOwnCoordinates) {
  // 3 x 5 splits mid-row for 2, 3 and 7 workers.
  for (auto [rows, columns] : {std::pair{3u, 5u}, std::pair{1u, 1u}, std::pair{40u, 17u}}) {
    Matrix m(rows, columns);
    std::fill(m.data(), m.data() + m.size(), std::numeric_limits<double>::quiet_NaN());
    std::atomic<int> calls{0};
    grid_evaluate(
        m,
        [&calls](double x0, double x1, double* out) {
          ++calls;
          *out = x0 * 1000.0 + x1;
        },
        -1.0, 2.0, 0.5, 0.25);
    EXPECT_EQ(calls.load(), static_cast<int>(rows * columns));
    for (std::uint32_t r = 0; r < rows; ++r) {
      for (std::uint32_t c = 0; c < columns; ++c) {
        // Steps of 0.5 and 0.25 and these origins are exact in binary.
        ASSERT_EQ(m[r][c], (-1.0 + 0.5 * r) * 1000.0 + (2.0 + 0.25 * c)) << r << "," << c;
      }
    }
  }
}

TEST_P(GridWorkers, EmptyMatricesMakeNoCall) {
  for (auto [rows, columns] : {std::pair{0u, 5u}, std::pair{4u, 0u}, std::pair{0u, 0u}}) {
    Matrix m(rows, columns);
    std::atomic<int> calls{0};
    grid_evaluate(
        m, [&calls](double, double, double*) { ++calls; }, 0.0, 0.0, 1.0, 1.0);
    EXPECT_EQ(calls.load(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, GridWorkers, ::testing::Values(1u, 2u, 3u, 7u));

TEST(Grid, TargetSamplesAreBitIdenticalForAnyWorkerCount) {
  ParameterSet set;
  set.scaling_k = 2.5;
  set.good_field_height = 0.15;
  set.vertical_end_height = 0.08;
  set.vertical_middle_join_height = 0.35;
  set.vertical_middle_ramp = 0.5;
  set.vertical_end_ramp = 0.5;
  MagnetSpec magnet;
  magnet.params = &set;
  magnet.bmax = 0.8;
  magnet.length = 0.8;
  magnet.winding_return_half_length = 0.1;
  magnet.polynomial_adjustment = {0.0, 0.1};
  auto sample = [&](unsigned workers) {
    set_processor_count(workers);
    Matrix m(37, 29);
    grid_evaluate(
        m, [&magnet](double y, double z, double* out) { target_potential(y, z, out, magnet); }, -0.4, -0.9,
        0.031, 0.063);
    set_processor_count(0);
    return m;
  };
  const Matrix one = sample(1);
  bool any_non_zero = false;
  for (std::size_t i = 0; i < one.size(); ++i) any_non_zero = any_non_zero || one.data()[i] != 0.0;
  EXPECT_TRUE(any_non_zero);
  for (unsigned workers : {2u, 3u, 7u}) {
    const Matrix m = sample(workers);
    EXPECT_EQ(std::memcmp(m.data(), one.data(), one.size() * sizeof(double)), 0) << workers << " workers";
  }
}

}  // namespace
}  // namespace expcoil
