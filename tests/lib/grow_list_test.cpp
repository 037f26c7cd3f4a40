#include "lib/grow_list.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lib/matrix.hpp"

namespace expcoil {
namespace {

TEST(GrowList, GrowsByAQuarterFromOne) {
  GrowList<int> list;
  EXPECT_EQ(list.capacity(), 1u);
  std::vector<std::uint32_t> capacities;
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(list.append(i * 7), static_cast<std::uint32_t>(i));
    if (capacities.empty() || capacities.back() != list.capacity()) capacities.push_back(list.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<std::uint32_t>{1, 2, 3, 5, 7, 10}));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(list[i], i * 7);

  // The documented sequence continues 13, 17, 22, ..., 886, 1108.
  const std::vector<std::uint32_t> expected = {13,  17,  22,  28,  36,  46,  58,  73,  92,  116,
                                               146, 183, 230, 288, 361, 452, 566, 708, 886, 1108};
  std::size_t next = 0;
  while (list.count() < 1108) {
    list.append(0);
    if (list.capacity() != capacities.back()) {
      capacities.push_back(list.capacity());
      ASSERT_LT(next, expected.size());
      EXPECT_EQ(list.capacity(), expected[next++]);
    }
  }
  EXPECT_EQ(next, expected.size());
}

TEST(GrowList, AliasFollowsTheStorage) {
  GrowList<double> list;
  double* alias = nullptr;
  list.set_alias(&alias);
  EXPECT_EQ(alias, list.data());
  list.append(1.0);
  list.append(2.0);  // grows
  EXPECT_EQ(alias, list.data());
  EXPECT_EQ(alias[1], 2.0);
  list.release();
  EXPECT_EQ(alias, nullptr);
  EXPECT_EQ(list.count(), 0u);
  // A released list may be filled again.
  list.append(3.0);
  EXPECT_EQ(list[0], 3.0);
}

TEST(GrowList, RemoveMovesTheLastRecordIntoTheGap) {
  GrowList<std::string> list;
  list.append("A");
  list.append("B");
  list.append("C");
  list.remove(0);
  ASSERT_EQ(list.count(), 2u);
  EXPECT_EQ(list[0], "C");
  EXPECT_EQ(list[1], "B");
  list.remove(5);  // out of range: nothing happens
  EXPECT_EQ(list.count(), 2u);
}

TEST(GrowList, ShrinksWhenAtMostSixtyPercentFull) {
  GrowList<int> list;
  for (int i = 0; i < 10; ++i) list.append(i);
  ASSERT_EQ(list.capacity(), 10u);
  std::vector<std::uint32_t> after;  // capacity after the removal that leaves 9, 8, ..., 0 records
  while (list.count() > 0) {
    list.remove(list.count() - 1);
    after.push_back(list.capacity());
  }
  EXPECT_EQ(after, (std::vector<std::uint32_t>{10, 10, 10, 7, 7, 5, 3, 3, 1, 1}));
}

TEST(GrowList, NeverShrinksBelowItsInitialCapacity) {
  GrowList<int> list;
  list.append(1);
  list.remove(0);
  EXPECT_EQ(list.capacity(), 1u);
  EXPECT_EQ(list.count(), 0u);
}

TEST(GrowList, AppendingAnElementOfItselfSurvivesGrowth) {
  GrowList<std::string> list;
  list.append(std::string(100, 'x'));
  for (int i = 0; i < 20; ++i) list.append(list[0]);
  for (const std::string& s : list) EXPECT_EQ(s, std::string(100, 'x'));
}

TEST(Matrix, SizesAndElementwiseProduct) {
  Matrix a = matrix_alloc(2, 2);
  Matrix b = matrix_alloc(2, 3);
  EXPECT_EQ(a.rows(), 2u);
  EXPECT_EQ(a.columns(), 2u);
  a[0][0] = 1, a[0][1] = 2, a[1][0] = 3, a[1][1] = 4;
  b[0][0] = 5, b[0][1] = 6, b[0][2] = 100, b[1][0] = 7, b[1][1] = 8, b[1][2] = 100;
  matrix_multiply_elementwise(a, b);  // b may be wider: a's extent rules
  EXPECT_EQ(a[0][0], 5);
  EXPECT_EQ(a[0][1], 12);
  EXPECT_EQ(a[1][0], 21);
  EXPECT_EQ(a[1][1], 32);

  Matrix empty = matrix_alloc(0, 5);
  EXPECT_EQ(empty.size(), 0u);
  matrix_multiply_elementwise(empty, b);
}

}  // namespace
}  // namespace expcoil
