#include "lib/grow_list.hpp"
#include "lib/matrix.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace expcoil {

using Capacities = std::vector<std::uint32_t>;

TEST(GrowList, GrowthShrinkageAliasAndRemoval) {
  GrowList<std::string> list;
  std::string* alias = nullptr;
  list.set_alias(&alias);
  Capacities capacities = {list.capacity()};
  list.append(std::string(100, 'x'));
  for (std::uint32_t i = 1; i < 1108; ++i) {
    ASSERT_EQ(list.append(list[0]), i);  // a reference into the storage that moves
    if (list.capacity() != capacities.back()) capacities.push_back(list.capacity());
  }
  EXPECT_EQ(capacities, (Capacities{1,  2,  3,   5,   7,   10,  13,  17,  22,  28,  36,  46,  58,
                                    73, 92, 116, 146, 183, 230, 288, 361, 452, 566, 708, 886, 1108}));
  EXPECT_EQ(alias, list.data());
  for (const std::string& s : list) ASSERT_EQ(s, std::string(100, 'x'));
  list.release();
  EXPECT_EQ(alias, nullptr);
  for (const char* s : {"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"}) list.append(s);  // filled again
  list.remove(0);  // the last record moves into the gap
  list.remove(9);  // out of range: nothing happens
  EXPECT_EQ(std::string(list[0]) + list[8], "JI");
  Capacities after = {list.capacity()};  // after each removal that leaves 9, 8, ..., 0 records
  while (!list.empty()) {
    list.remove(list.count() - 1);
    after.push_back(list.capacity());
  }
  EXPECT_EQ(after, (Capacities{10, 10, 10, 7, 7, 5, 3, 3, 1, 1}));
}

TEST(Matrix, ElementwiseProductOverTheFirstMatrixExtent) {
  Matrix a(2, 2), b(2, 3);  // b may be larger
  for (std::uint32_t i = 0; i < 6; ++i) b.data()[i] = 5.0 + i;
  for (std::uint32_t i = 0; i < 4; ++i) a.data()[i] = 1.0 + i;
  matrix_multiply_elementwise(a, b);
  EXPECT_EQ((std::vector<double>(a.data(), a.data() + 4)), (std::vector<double>{5, 12, 24, 36}));
}

}  // namespace expcoil
