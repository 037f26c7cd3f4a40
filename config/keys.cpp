#include "config/keys.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

#include "lib/constants.hpp"

namespace expcoil {
namespace {

using enum KeyId;
constexpr KeyScope P = KeyScope::kParameters;
constexpr KeyScope M = KeyScope::kMagnet;
constexpr KeyKind kText = KeyKind::kText;
constexpr KeyKind kReal = KeyKind::kReal;

const KeyInfo kKeys[] = {
    {kParametersName, P, "Parameters name", "name", kText, 1.0, "", "", "", KeyRule::kRequired,
     "printed at the start"},
    {kScalingK, P, "Scaling k", "scaling_k", kReal, 1.0, "1/m", "1/m", "0", KeyRule::kNonZero,
     "exponent of the field profile (non-zero)"},
    {kGoodFieldHeight, P, "Good field height", "good_field_height", kReal, 1.0, "m", "m", "0",
     KeyRule::kPositive, "height of the good-field region (> 0)"},
    {kVerticalEndHeight, P, "Vertical end height", "vertical_end_height", kReal, 1.0, "m", "m", "0",
     KeyRule::kPositive,
     "height over which the current potential fades out beyond each good-field band (> 0)"},
    {kVerticalMiddleJoinHeight, P, "Vertical middle join height", "vertical_middle_join_height", kReal, 1.0,
     "m", "m", "0", KeyRule::kNonNegative, "distance between the two apertures (>= 0); 0: one aperture"},
    {kVerticalMiddleAsymmetry, P, "Vertical middle asymmetry", "vertical_middle_asymmetry", kReal, 1.0, "",
     "", "0", KeyRule::kFinite, "moves the midpoint of the step that joins the apertures"},
    {kVerticalMiddleRamp, P, "Vertical middle ramp", "vertical_middle_ramp", kReal, 1.0, "", "", "0",
     KeyRule::kFinite, "steepness of the step that joins the apertures"},
    {kVerticalEndAsymmetry, P, "Vertical end asymmetry", "vertical_end_asymmetry", kReal, 1.0, "", "", "0",
     KeyRule::kFinite, "moves the midpoint of the step at the vertical ends"},
    {kVerticalEndRamp, P, "Vertical end ramp", "vertical_end_ramp", kReal, 1.0, "", "", "0", KeyRule::kFinite,
     "steepness of the step at the vertical ends"},
    {kCoilMeshes, P, "Coil meshes", "coil_meshes", KeyKind::kMeshes, 1.0, "", "", "0", KeyRule::kAtLeastTwo,
     "points per side of the coil mesh (>= 2)"},
    {kFftMeshes, P, "FFT meshes", "fft_meshes", KeyKind::kMeshes, 1.0, "", "", "0", KeyRule::kAtLeastTwo,
     "points per side of the FFT mesh (a power of two)"},
    {kUseVerticalFftInversion, P, "Use vertical FFT inversion", "use_vertical_fft_inversion",
     KeyKind::kSwitch, 1.0, "yes/no", "", "no", KeyRule::kNone,
     "compensate for the winding plane's distance to the mid-plane"},
    {kFieldmapTransverseCell, P, "Fieldmap transverse cell", "fieldmap_transverse_cell", kReal, 1.0, "m", "m",
     "0", KeyRule::kPositive, "field-map spacing along x (> 0)"},
    {kFieldmapVerticalCell, P, "Fieldmap vertical cell", "fieldmap_vertical_cell", kReal, 1.0, "m", "m", "0",
     KeyRule::kPositive, "field-map spacing along y (> 0)"},
    {kFieldmapLongitudinalCell, P, "Fieldmap longitudinal cell", "fieldmap_longitudinal_cell", kReal, 1.0,
     "m", "m", "0", KeyRule::kPositive, "field-map spacing along z (> 0)"},
    {kFieldmapTransverseExtension, P, "Fieldmap transverse extension", "fieldmap_transverse_extension", kReal,
     1.0, "m", "m", "0", KeyRule::kFinite, "field-map margin around the magnet along x"},
    {kFieldmapVerticalExtension, P, "Fieldmap vertical extension", "fieldmap_vertical_extension", kReal, 1.0,
     "m", "m", "0", KeyRule::kFinite, "field-map margin around the magnet along y"},
    {kFieldmapLongitudinalExtension, P, "Fieldmap longitudinal extension", "fieldmap_longitudinal_extension",
     kReal, 1.0, "m", "m", "0", KeyRule::kFinite, "field-map margin around the magnet along z"},
    {kFieldmapTolerance, P, "Fieldmap tolerance", "fieldmap_tolerance", kReal, 1.0, "", "", "0",
     KeyRule::kNonNegative, "largest error of the field map relative to its largest |B|; 0: the exact map",
     true},
    {kDesignMode, P, "Design mode", "design_mode", kText, 1.0, "", "", "literal", KeyRule::kChoice,
     "literal: the chain as configured; precise: windings that meet the precise mode's promise", true,
     "literal|precise"},
    {kMagnetName, M, "Magnet name", "name", kText, 1.0, "", "", "", KeyRule::kFileName,
     "used in the output file names (no `/` or `\\`)"},
    {kBmax, M, "Bmax", "bmax", kReal, 1.0, "T", "T", "0", KeyRule::kNonZero, "peak field (non-zero)"},
    {kLength, M, "Length", "length", kReal, 1.0, "m", "m", "0", KeyRule::kPositive, "magnet length (> 0)"},
    {kAngle, M, "Angle (degrees)", "angle", kReal, kRadiansPerDegree, "degrees", "rad", "0", KeyRule::kFinite,
     "bend angle, less than 360 in magnitude; 0 for a straight magnet"},
    {kWindingCentreToMidplane, M, "Winding centre to midplane", "winding_centre_to_midplane", kReal, 1.0, "m",
     "m", "0", KeyRule::kFinite, "distance of each winding layer from the mid-plane"},
    {kWindingReturnHalfLength, M, "Winding return half-length", "winding_return_half_length", kReal, 1.0, "m",
     "m", "0", KeyRule::kPositive, "half-width of the longitudinal end ramps (> 0)"},
    {kAreaPerWinding, M, "Area per winding (cm^2)", "area_per_winding", kReal, 0.0001, "cm²", "m²", "0",
     KeyRule::kFinite, "with the current density, gives the current per winding"},
    {kWindingCurrentDensity, M, "Winding current density (A/mm^2)", "winding_current_density", kReal,
     1000000.0, "A/mm²", "A/m²", "0", KeyRule::kFinite, "current density in the windings"},
    {kWindingThickness, M, "Winding thickness (cm)", "winding_thickness", kReal, 0.01, "cm", "m", "0",
     KeyRule::kFinite, "recorded in the files, not used by the design"},
    {kPolynomialAdjustment, M, "Polynomial adjustment", "polynomial_adjustment", KeyKind::kReals, 1.0, "", "",
     "", KeyRule::kRequired, "comma-separated coefficients added to the exponential profile"},
};

}  // namespace

std::span<const KeyInfo> config_keys() { return kKeys; }

const KeyInfo& key_info(KeyId id) { return kKeys[static_cast<std::size_t>(id)]; }

const KeyInfo* find_key(std::string_view name) {
  for (const KeyInfo& k : kKeys) {
    if (name == k.key) return &k;
  }
  return nullptr;
}

double config_real(const std::string& value) { return std::strtod(value.c_str(), nullptr); }

std::int32_t config_integer(const std::string& value) {
  errno = 0;
  const long long v = std::strtoll(value.c_str(), nullptr, 10);
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(v);
}

bool config_switch(const std::string& value) {
  if (value.empty()) return false;
  char c = value[0];
  if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return c == 't' || c == 'y' || c == '1';
}

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string trimmed(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return std::string(s);
}

// One number, with the same conversion that reads it.
ValueText judge_number(const std::string& text, bool integer) {
  const char* start = text.c_str();
  char* end = nullptr;
  errno = 0;
  if (integer) {
    (void)std::strtoll(start, &end, 10);
  } else {
    (void)std::strtod(start, &end);
  }
  using enum ValueText::Verdict;
  if (end == start) return {kNotANumber, text, "", ""};
  if (*end == ',' && is_digit(end[1])) return {kDecimalComma, text, "", ""};
  std::string rest = trimmed(end);
  if (!rest.empty()) return {kTrailing, text, trimmed(std::string_view(start, end)), std::move(rest)};
  return {};
}

bool equals_folded(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = (s[i] >= 'A' && s[i] <= 'Z') ? static_cast<char>(s[i] + 32) : s[i];
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

ValueText judge_value_text(KeyKind kind, const std::string& value) {
  switch (kind) {
    case KeyKind::kText:
      return {};
    case KeyKind::kReal:
      return judge_number(value, false);
    case KeyKind::kMeshes:
      return judge_number(value, true);
    case KeyKind::kSwitch:
      // config_switch reads "no" and "yes" as it always did: the two words give the value it reads.
      if (equals_folded(value, "yes") || equals_folded(value, "no")) return {};
      return {ValueText::Verdict::kNotANumber, value, "", ""};
    case KeyKind::kReals: {
      // Every comma cuts, so no piece can hold a decimal comma: "0,8" is two coefficients.
      ValueText first_trailing;
      std::size_t from = 0;
      for (;;) {
        const std::size_t comma = value.find(',', from);
        const std::string piece =
            trimmed(std::string_view(value).substr(from, comma == std::string::npos ? comma : comma - from));
        ValueText v = judge_number(piece, false);
        if (v.verdict == ValueText::Verdict::kNotANumber) return v;
        if (v.verdict == ValueText::Verdict::kTrailing && first_trailing.verdict == ValueText::Verdict::kGood)
          first_trailing = std::move(v);
        if (comma == std::string::npos) break;
        from = comma + 1;
      }
      return first_trailing;
    }
  }
  return {};
}

}  // namespace expcoil
