#include "magnet/records.hpp"

#include <gtest/gtest.h>

#include "lib/errors.hpp"

#include <cmath>
#include <string>

namespace expcoil {
namespace {

std::unique_ptr<ParameterSet> read(const std::string& text) {
  return std::make_unique<ParameterSet>(parameter_set_read(config_parse(text, ':')));
}

TEST(Records, EveryKeyLandsInItsFieldInSIUnits) {
  const auto set = read(
      "Parameters name: P\nScaling k: 1\nGood field height: 2\nVertical end height: 3\n"
      "Vertical middle join height: 4\nVertical middle asymmetry: 5\nVertical middle ramp: 6\n"
      "Vertical end asymmetry: 7\nVertical end ramp: 8\nFieldmap transverse cell: 9\n"
      "Fieldmap vertical cell: 10\nFieldmap longitudinal cell: 11\nFieldmap transverse extension: 12\n"
      "Fieldmap vertical extension: 13\nFieldmap longitudinal extension: 14\nCoil meshes: 64.9\n"
      "FFT meshes: 128\nUse vertical FFT inversion: Y\n"
      "Magnet name: M\nBmax (T): 1\nLength: 2\nAngle (degrees): 90\nWinding centre to midplane: 3\n"
      "Winding return half-length: 4\nArea per winding (cm^2): 2\nWinding current density (A/mm^2): 3.5\n"
      "Winding thickness (cm): 1.5\nPolynomial adjustment: 1, -0.5, 0.25\n");
  const ParameterSet& p = *set;
  EXPECT_EQ(p.name, "P");
  EXPECT_EQ((std::vector<double>{p.scaling_k, p.good_field_height, p.vertical_end_height,
                                 p.vertical_middle_join_height, p.vertical_middle_asymmetry,
                                 p.vertical_middle_ramp, p.vertical_end_asymmetry, p.vertical_end_ramp,
                                 p.fieldmap_cell[0], p.fieldmap_cell[1], p.fieldmap_cell[2],
                                 p.fieldmap_extension[0], p.fieldmap_extension[1], p.fieldmap_extension[2]}),
            (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ((std::vector<int>{p.coil_meshes[0], p.coil_meshes[1], p.fft_meshes[0], p.fft_meshes[1],
                              int{p.use_vertical_fft_inversion}}),
            (std::vector<int>{64, 64, 128, 128, 1}));
  ASSERT_EQ(p.magnet_count(), 1u);
  const MagnetSpec& m = p.magnets[0];
  EXPECT_EQ(m.name, "M");
  EXPECT_EQ(m.params.scaling_k, p.scaling_k);
  EXPECT_EQ(m.params.fieldmap_extension[2], p.fieldmap_extension[2]);
  EXPECT_EQ((std::vector<double>{m.bmax, m.length, m.angle, m.winding_centre_to_midplane,
                                 m.winding_return_half_length, m.area_per_winding, m.current_density,
                                 m.winding_thickness}),
            (std::vector<double>{1, 2, 1.5707963267948966, 3, 4, 0.0002, 3500000.0, 0.015}));
  EXPECT_EQ(m.polynomial_adjustment, (std::vector<double>{1, -0.5, 0.25}));
  EXPECT_TRUE(m.bent);
  const auto empty_values = read("Magnet name: E\nPolynomial adjustment:\nAngle (degrees):\n");
  const MagnetSpec& e = empty_values->magnets[0];
  EXPECT_EQ(e.polynomial_adjustment, std::vector<double>{0.0});
  EXPECT_FALSE(e.bent);
}

TEST(Records, MagnetBlocksTakeTheNthOccurrenceOfEachKey) {
  const auto both = read("Magnet name: A\nBmax: 1\nLength: 2\nMagnet name: B\nLength: 4\nBmax: 3\n");
  ASSERT_EQ(both->magnet_count(), 2u);
  EXPECT_EQ(both->magnets[0].bmax + both->magnets[0].length * 10, 21);
  EXPECT_EQ(both->magnets[1].bmax + both->magnets[1].length * 10, 43);
  // A key given in one block only: the first magnet takes it, the last one gets the default.
  for (const char* text :
       {"Magnet name: A\nBmax: 3\nMagnet name: B\n", "Magnet name: A\nMagnet name: B\nBmax: 3\n"}) {
    const auto set = read(text);
    EXPECT_EQ(set->magnets[0].bmax, 3) << text;
    EXPECT_EQ(set->magnets[1].bmax, 0) << text;
  }
  EXPECT_EQ(read("Parameters name: none\n")->magnet_count(), 0u);
}

// A magnet carries its own copy of the shared values: it stays whole when the set it came from is
// moved or destroyed, and a changed copy leaves the original as it was.
TEST(Records, MagnetRecordsOutliveTheirSetAndChangeOneValueAtATime) {
  MagnetSpec kept;
  {
    ParameterSet set =
        parameter_set_read(config_parse("Scaling k: 2.5\nCoil meshes: 64\nMagnet name: M\n"
                                        "Angle (degrees): 0\nBmax: 0.8\n",
                                        ':'));
    ParameterSet moved = std::move(set);
    kept = moved.magnets[0];
  }
  EXPECT_EQ(kept.params.scaling_k, 2.5);
  const MagnetSpec bent = kept.with_value(KeyId::kAngle, 0.25);
  EXPECT_TRUE(bent.bent);
  EXPECT_FALSE(kept.bent);
  EXPECT_EQ(kept.with_value(KeyId::kScalingK, 3.0).params.scaling_k, 3.0);
  EXPECT_EQ(kept.params.scaling_k, 2.5);
  const MagnetSpec finer = kept.with_value(KeyId::kCoilMeshes, 128);
  EXPECT_EQ(finer.params.coil_meshes[0], 128);
  EXPECT_EQ(finer.params.coil_meshes[1], 128);
  EXPECT_THROW((void)kept.with_value(KeyId::kCoilMeshes, 1.5), InputError);
  EXPECT_THROW((void)kept.with_value(KeyId::kMagnetName, 1.0), InputError);
}

}  // namespace
}  // namespace expcoil
