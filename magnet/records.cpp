#include "magnet/records.hpp"

#include <cmath>

#include "lib/errors.hpp"

namespace expcoil {

RecordField record_field(Parameters& p, KeyId key) {
  switch (key) {
    case KeyId::kParametersName:
      return &p.name;
    case KeyId::kScalingK:
      return &p.scaling_k;
    case KeyId::kGoodFieldHeight:
      return &p.good_field_height;
    case KeyId::kVerticalEndHeight:
      return &p.vertical_end_height;
    case KeyId::kVerticalMiddleJoinHeight:
      return &p.vertical_middle_join_height;
    case KeyId::kVerticalMiddleAsymmetry:
      return &p.vertical_middle_asymmetry;
    case KeyId::kVerticalMiddleRamp:
      return &p.vertical_middle_ramp;
    case KeyId::kVerticalEndAsymmetry:
      return &p.vertical_end_asymmetry;
    case KeyId::kVerticalEndRamp:
      return &p.vertical_end_ramp;
    case KeyId::kCoilMeshes:
      return p.coil_meshes;
    case KeyId::kFftMeshes:
      return p.fft_meshes;
    case KeyId::kUseVerticalFftInversion:
      return &p.use_vertical_fft_inversion;
    case KeyId::kFieldmapTransverseCell:
      return &p.fieldmap_cell[0];
    case KeyId::kFieldmapVerticalCell:
      return &p.fieldmap_cell[1];
    case KeyId::kFieldmapLongitudinalCell:
      return &p.fieldmap_cell[2];
    case KeyId::kFieldmapTransverseExtension:
      return &p.fieldmap_extension[0];
    case KeyId::kFieldmapVerticalExtension:
      return &p.fieldmap_extension[1];
    case KeyId::kFieldmapLongitudinalExtension:
      return &p.fieldmap_extension[2];
    case KeyId::kFieldmapTolerance:
      return &p.fieldmap_tolerance;
    case KeyId::kDesignMode:
      return &p.design_mode;
    default:
      return std::monostate{};
  }
}

RecordField record_field(MagnetSpec& m, KeyId key) {
  switch (key) {
    case KeyId::kMagnetName:
      return &m.name;
    case KeyId::kBmax:
      return &m.bmax;
    case KeyId::kLength:
      return &m.length;
    case KeyId::kAngle:
      return &m.angle;
    case KeyId::kWindingCentreToMidplane:
      return &m.winding_centre_to_midplane;
    case KeyId::kWindingReturnHalfLength:
      return &m.winding_return_half_length;
    case KeyId::kAreaPerWinding:
      return &m.area_per_winding;
    case KeyId::kWindingCurrentDensity:
      return &m.current_density;
    case KeyId::kWindingThickness:
      return &m.winding_thickness;
    case KeyId::kPolynomialAdjustment:
      return &m.polynomial_adjustment;
    default:
      return record_field(m.params, key);
  }
}

void finish_magnet(MagnetSpec& magnet) {
  // NaN compares unequal to everything, but a NaN angle must not make a bent magnet.
  magnet.bent = magnet.angle != 0.0 && !std::isnan(magnet.angle);
}

MagnetSpec MagnetSpec::with_value(KeyId key, double value) const {
  MagnetSpec copy = *this;
  const RecordField field = record_field(copy, key);
  if (double* const* real = std::get_if<double*>(&field)) {
    **real = value;
  } else if (std::int32_t* const* mesh = std::get_if<std::int32_t*>(&field)) {
    if (!(value >= INT32_MIN && value <= INT32_MAX) || value != std::floor(value)) {
      throw InputError(std::string(key_info(key).key) + " must be a 32-bit integer");
    }
    (*mesh)[0] = (*mesh)[1] = static_cast<std::int32_t>(value);
  } else {
    throw InputError(std::string(key_info(key).key) + " is not a number key");
  }
  finish_magnet(copy);
  return copy;
}

namespace {

// One line's value converted into the field, by the key's kind.
void assign(const KeyInfo& info, const std::string& text, const RecordField& field) {
  switch (info.kind) {
    case KeyKind::kText:
      *std::get<std::string*>(field) = text;
      break;
    case KeyKind::kReal:
      *std::get<double*>(field) = config_real(text) * info.factor;
      break;
    case KeyKind::kMeshes: {
      std::int32_t* pair = std::get<std::int32_t*>(field);
      pair[0] = pair[1] = config_integer(text);
      break;
    }
    case KeyKind::kSwitch:
      *std::get<bool*>(field) = config_switch(text);
      break;
    case KeyKind::kReals: {
      std::vector<double>& out = *std::get<std::vector<double>*>(field);
      for (const std::string& piece : split_string(",", text, 0)) out.push_back(config_real(piece));
      break;
    }
  }
}

}  // namespace

ParameterSet parameter_set_read(const ConfigList& list) {
  ConfigIndex index(list);
  ParameterSet set;
  for (const KeyInfo& k : config_keys()) {
    if (k.scope != KeyScope::kParameters) continue;
    if (const std::string* v = index.lookup(k.key)) assign(k, *v, record_field(set, k.id));
  }
  const std::uint32_t m = index.count(key_info(KeyId::kMagnetName).key);
  for (std::uint32_t n = 1; n <= m; ++n) {
    MagnetSpec magnet;
    magnet.params = set;
    for (const KeyInfo& k : config_keys()) {
      if (k.scope != KeyScope::kMagnet) continue;
      if (const std::string* v = index.lookup_nth(k.key, n)) assign(k, *v, record_field(magnet, k.id));
    }
    finish_magnet(magnet);
    set.magnets.append(std::move(magnet));
  }
  return set;
}

}  // namespace expcoil
