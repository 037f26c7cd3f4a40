#include "magnet/grid.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>

#include "lib/workers.hpp"

namespace expcoil {
namespace {

class GridWorkers : public ::testing::TestWithParam<unsigned> {
 protected:
  void SetUp() override { set_processor_count(GetParam()); }
  void TearDown() override { set_processor_count(0); }
};

TEST_P(GridWorkers, EveryElementOnceAtItsOwnCoordinates) {
  // 3 x 5 splits mid-row for 2, 3 and 7 workers; empty matrices make no call.
  for (auto [rows, columns] :
       {std::pair{3u, 5u}, std::pair{40u, 17u}, std::pair{0u, 5u}, std::pair{4u, 0u}}) {
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
      for (std::uint32_t c = 0; c < columns; ++c) {  // exact in binary
        ASSERT_EQ(m[r][c], (-1.0 + 0.5 * r) * 1000.0 + (2.0 + 0.25 * c)) << r << "," << c;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, GridWorkers, ::testing::Values(1u, 2u, 3u, 7u));

}  // namespace
}  // namespace expcoil
