#include "app/parameters.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_support.hpp"

namespace expcoil {
namespace {

using test::magnet_block;
using test::parameter_block;

std::unique_ptr<ParameterSet> read(const std::string& text) {
  return parameter_set_read(config_parse(text, ':'));
}

std::vector<std::string> problems(const std::string& text) {
  ConfigList list = config_parse(text, ':');
  std::unique_ptr<ParameterSet> set = parameter_set_read(list);
  return check_parameter_set("config.txt", list, *set);
}

TEST(Parameters, ValueConversionsFollowTheCLibrary) {
  EXPECT_EQ(config_real("1.5"), 1.5);
  EXPECT_EQ(config_real("  -2.5e3 m"), -2500.0);
  EXPECT_EQ(config_real("abc"), 0.0);
  EXPECT_EQ(config_real(""), 0.0);
  EXPECT_TRUE(std::isinf(config_real("1e999")));
  EXPECT_EQ(config_integer("64"), 64);
  EXPECT_EQ(config_integer("64.9"), 64);
  EXPECT_EQ(config_integer(" -7x"), -7);
  EXPECT_EQ(config_integer("x7"), 0);
  EXPECT_EQ(config_integer("99999999999"), INT32_MAX);
  for (const char* yes : {"yes", "Y", "true", "T", "1", "10"}) EXPECT_EQ(config_switch(yes), 1) << yes;
  for (const char* no : {"no", "false", "0", "2", "on", ""}) EXPECT_EQ(config_switch(no), 0) << no;
}

TEST(Parameters, EveryKeyWithItsUnit) {
  auto set = read(parameter_block("P") + magnet_block("M1", 90) +
                  "Area per winding (cm^2): 2\n"  // second occurrences belong to no magnet
                  "Coil meshes: 64.9\n");
  EXPECT_EQ(set->name, "P");
  EXPECT_EQ(set->scaling_k, 2.5);
  EXPECT_EQ(set->good_field_height, 0.15);
  EXPECT_EQ(set->vertical_middle_join_height, 0.35);
  EXPECT_EQ(set->coil_meshes[0], 64);  // the later line wins a tie of equal keys
  EXPECT_EQ(set->coil_meshes[1], 64);
  EXPECT_EQ(set->fft_meshes[0], 32);
  EXPECT_EQ(set->use_vertical_fft_inversion, 1);
  EXPECT_EQ(set->fieldmap_cell[2], 0.2);
  EXPECT_EQ(set->fieldmap_extension[1], 0.02);
  ASSERT_EQ(set->magnet_count(), 1u);
  const MagnetSpec& m = set->magnets[0];
  EXPECT_EQ(m.name, "M1");
  EXPECT_EQ(m.params, set.get());
  EXPECT_EQ(m.angle, 1.5707963267948966);
  EXPECT_EQ(m.angle_mode, 1);
  EXPECT_EQ(m.area_per_winding, 1 * 0.0001);
  EXPECT_EQ(m.current_density, 30 * 1000000.0);
  EXPECT_EQ(m.winding_thickness, 0.01);

  auto units = read(
      "Magnet name: U\nArea per winding (cm^2): 2\nWinding current density (A/mm^2): 3.5\n"
      "Winding thickness (cm): 1.5\nPolynomial adjustment: 1, -0.5, 0.25\nAngle (degrees):\n");
  const MagnetSpec& u = units->magnets[0];
  EXPECT_EQ(u.area_per_winding, 0.0002);
  EXPECT_EQ(u.current_density, 3500000.0);
  EXPECT_EQ(u.winding_thickness, 0.015);
  EXPECT_EQ(u.polynomial_adjustment, (std::vector<double>{1, -0.5, 0.25}));
  EXPECT_EQ(u.angle, 0.0);
  EXPECT_EQ(u.angle_mode, 0);
  EXPECT_EQ(read("Magnet name: E\nPolynomial adjustment:\n")->magnets[0].polynomial_adjustment,
            std::vector<double>{0.0});
}

TEST(Parameters, MagnetBlocksTakeTheNthOccurrenceOfEachKey) {
  auto both = read("Magnet name: A\nBmax: 1\nLength: 2\nMagnet name: B\nLength: 4\nBmax: 3\n");
  ASSERT_EQ(both->magnet_count(), 2u);
  EXPECT_EQ(both->magnets[0].bmax, 1);
  EXPECT_EQ(both->magnets[0].length, 2);
  EXPECT_EQ(both->magnets[1].bmax, 3);
  EXPECT_EQ(both->magnets[1].length, 4);

  auto first_only = read("Magnet name: A\nBmax: 1\nMagnet name: B\n");
  EXPECT_EQ(first_only->magnets[0].bmax, 1);
  EXPECT_EQ(first_only->magnets[1].bmax, 0);
  // A key omitted from the first block shifts the second block's value onto the first magnet.
  auto second_only = read("Magnet name: A\nMagnet name: B\nBmax: 3\n");
  EXPECT_EQ(second_only->magnets[0].bmax, 3);
  EXPECT_EQ(second_only->magnets[1].bmax, 0);

  auto prefixed = read("Magnet name: A\nBmax (T): 0.9\nLengths: 7\n");
  EXPECT_EQ(prefixed->magnets[0].bmax, 0.9);
  EXPECT_EQ(prefixed->magnets[0].length, 7);
  EXPECT_EQ(read("Parameters name: none\n")->magnet_count(), 0u);
}

TEST(Parameters, AGoodConfigurationPasses) {
  EXPECT_EQ(problems(parameter_block() + magnet_block("A") + magnet_block("B", -15)),
            std::vector<std::string>{});
}

TEST(Parameters, WithoutMagnetsOnlyTheNameIsChecked) {
  EXPECT_EQ(problems("Parameters name: x\nCoil meshes: 0\n"), std::vector<std::string>{});
  EXPECT_EQ(problems("Coil meshes: 0\n"),
            std::vector<std::string>{"config.txt: no \"Parameters name\" line"});
}

std::string with(const std::string& text, const std::string& key, const std::string& value) {
  const std::size_t at = text.find(key + ":");
  const std::size_t end = text.find('\n', at);
  return text.substr(0, at) + key + ": " + value + text.substr(end);
}

TEST(Parameters, EveryUnusableValueIsNamedWithItsKeyAndMagnet) {
  const std::string good = parameter_block() + magnet_block("A");
  struct Case {
    std::string key, value, message;
  };
  const Case cases[] = {
      {"Coil meshes", "1", "config.txt: \"Coil meshes\" must be at least 2 (it is 1)"},
      {"FFT meshes", "", "config.txt: \"FFT meshes\" must be at least 2 (it is 0)"},
      {"Scaling k", "0", "config.txt: \"Scaling k\" must not be zero"},
      {"Good field height", "-0.01", "config.txt: \"Good field height\" must be positive (it is -0.01)"},
      {"Vertical end height", "0", "config.txt: \"Vertical end height\" must be positive (it is 0)"},
      {"Fieldmap vertical cell", "0", "config.txt: \"Fieldmap vertical cell\" must be positive (it is 0)"},
      {"Vertical middle ramp", "nan", "config.txt: \"Vertical middle ramp\" is not a finite number"},
      {"Fieldmap longitudinal extension", "1e400",
       "config.txt: \"Fieldmap longitudinal extension\" is not a finite number"},
      {"Winding return half-length", "0",
       "config.txt: magnet \"A\": \"Winding return half-length\" must be positive (it is 0)"},
      {"Bmax", "inf", "config.txt: magnet \"A\": \"Bmax\" is not a finite number"},
      {"Length", "-0.1", "config.txt: magnet \"A\": \"Length\" must not be negative (it is -0.1)"},
      {"Polynomial adjustment", "1, nan",
       "config.txt: magnet \"A\": \"Polynomial adjustment\" is not a finite number"},
      {"Area per winding (cm^2)", "0",
       "config.txt: magnet \"A\": the winding current (\"Winding current density (A/mm^2)\" times \"Area per "
       "winding (cm^2)\") must not be zero"},
      {"Magnet name", "../x",
       "config.txt: magnet \"../x\": \"Magnet name\" must not contain '/' or '\\': output files are written "
       "to "
       "the working directory"},
      {"Fieldmap vertical extension", "-0.2",
       "config.txt: magnet \"A\": the field map has no usable number of points along its vertical axis: "
       "check "
       "\"Fieldmap vertical cell\" and \"Fieldmap vertical extension\""},
      {"Coil meshes", "1000000",
       "config.txt: \"Coil meshes\" of 1000000 needs 7.45e+003 GiB of memory, more than this machine's "},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> found = problems(with(good, c.key, c.value));
    ASSERT_EQ(found.size(), 1u) << c.key << "=" << c.value << ": " << ::testing::PrintToString(found);
    EXPECT_EQ(found[0].substr(0, c.message.size()), c.message);
  }
}

TEST(Parameters, FieldMapSizeIsNotWrappedBeyond64Bits) {
  std::string text = parameter_block() + magnet_block("A");
  for (const char* axis : {"transverse", "vertical", "longitudinal"}) {
    text = with(text, std::string("Fieldmap ") + axis + " cell", "1e-9");
  }
  const std::vector<std::string> found = problems(text);
  ASSERT_EQ(found.size(), 1u);
  // About 1.8e25 points: the product overflows even 64 bits, and must still be refused.
  const std::string expected =
      "config.txt: magnet \"A\": the field map of 80000001x190000001x1200000001 points needs ";
  EXPECT_EQ(found[0].substr(0, expected.size()), expected);
}

TEST(Parameters, AllProblemsAreReportedTogether) {
  const std::string text =
      with(with(parameter_block() + magnet_block("A") + magnet_block("B", 15), "Scaling k", "0"), "Length",
           "0") +
      "Magnet name: C\nArea per winding (cm^2): 1\nWinding current density (A/mm^2): 1\n"
      "Winding return half-length: 1\n";
  const std::vector<std::string> found = problems(text);
  const std::vector<std::string> expected = {
      "config.txt: \"Scaling k\" must not be zero",
      "config.txt: magnet \"C\": no \"Polynomial adjustment\" line for this magnet (magnet 3 of 3)",
  };
  EXPECT_EQ(found, expected);

  const std::vector<std::string> bent =
      problems(with(parameter_block() + magnet_block("A", 15), "Length", "0"));
  EXPECT_EQ(bent,
            std::vector<std::string>{
                "config.txt: magnet \"A\": a bent magnet (non-zero \"Angle (degrees)\") must have a non-zero "
                "\"Length\""});
}

}  // namespace
}  // namespace expcoil
