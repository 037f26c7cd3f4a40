#include "magnet/design.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lib/errors.hpp"
#include "magnet/records.hpp"
#include "magnet/windings.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

MagnetSpec small_magnet() {
  const ParameterSet set =
      parameter_set_read(config_parse(test::parameter_block() + test::magnet_block("M"), ':'));
  return set.magnets[0];
}

// The design is what its stages give, on any worker count, and its meshes are the potential's.
TEST(Design, IsThePotentialAndItsWindingsOnAnyWorkerCount) {
  const MagnetSpec magnet = small_magnet();
  const Design one = design_magnet(magnet, 1);
  const Design three = design_magnet(magnet, 3);
  ASSERT_GT(one.windings.count(), 0u);
  EXPECT_EQ(one.windings.count(), windings_segment_count(magnet, one.potential));
  ASSERT_EQ(one.windings.count(), three.windings.count());
  for (std::uint32_t i = 0; i < one.windings.count(); ++i) {
    ASSERT_EQ(std::memcmp(&one.windings[i], &three.windings[i], sizeof(Segment)), 0) << i;
  }
  EXPECT_EQ(one.mesh_y.size(), one.potential.rows());
  EXPECT_EQ(one.mesh_z.size(), one.potential.columns());
  EXPECT_EQ(one.magnet.name, "M");
}

// Too many windings are refused before a single segment is made, naming the keys that decide it.
TEST(Design, RefusesMoreWindingsThanItMayMakeNamingTheKeys) {
  const MagnetSpec magnet = small_magnet();
  const std::string message = test::thrown<InputError>([&] { design_magnet(magnet, 1, {}, 10); });
  EXPECT_NE(message.find("conductor segments, more than the 10 one magnet can hold"), std::string::npos)
      << message;
  EXPECT_NE(message.find("\"Winding current density (A/mm^2)\" times \"Area per winding (cm^2)\""),
            std::string::npos)
      << message;
  std::string stages;
  design_magnet(magnet, 1, [&](std::string_view stage) { stages.append(stage).append(" "); });
  EXPECT_EQ(stages, "potential windings ");
}

}  // namespace
}  // namespace expcoil
