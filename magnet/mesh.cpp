#include "magnet/mesh.hpp"

namespace expcoil {

// The margin beyond each magnet end is five of these.
static constexpr double kEndModule = 0.125;

MeshGeometry mesh_geometry(const MagnetSpec& magnet, std::int32_t rows, std::int32_t columns) {
  const ParameterSet& p = *magnet.params;
  const double H = p.vertical_end_height + p.good_field_height;
  const double T = p.vertical_middle_join_height + H;
  const double e = -0.5 * magnet.length - 5 * kEndModule;
  const double s_z = -(e + e) / (columns - 1);
  const double s_y = (T + H) / (rows - 1);
  MeshGeometry mesh;
  mesh.spacing = s_z < s_y ? s_y : s_z;
  mesh.origin[0] = 0.0;
  mesh.origin[1] = 0.5 * ((T - H) - (rows - 1) * mesh.spacing);
  mesh.origin[2] = 0.5 * (-(mesh.spacing * (columns - 1)));
  return mesh;
}

}  // namespace expcoil
