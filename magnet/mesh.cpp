#include "magnet/mesh.hpp"

namespace expcoil {

// The margin beyond each magnet end is five of these.
static constexpr double kEndModule = 0.125;

MeshGeometry mesh_geometry(const MagnetSpec& magnet, std::int32_t rows, std::int32_t columns) {
  const Parameters& p = magnet.params;
  const double aperture_height = p.vertical_end_height + p.good_field_height;
  const double top = p.vertical_middle_join_height + aperture_height;
  const double z_start = -0.5 * magnet.length - 5 * kEndModule;
  const double spacing_z = -(z_start + z_start) / (columns - 1);
  const double spacing_y = (top + aperture_height) / (rows - 1);
  MeshGeometry mesh;
  mesh.spacing = spacing_z < spacing_y ? spacing_y : spacing_z;
  mesh.origin[0] = 0.0;
  mesh.origin[1] = 0.5 * ((top - aperture_height) - (rows - 1) * mesh.spacing);
  mesh.origin[2] = 0.5 * (-(mesh.spacing * (columns - 1)));
  return mesh;
}

std::vector<double> mesh_axis(const MeshGeometry& mesh, int axis, std::int32_t points) {
  std::vector<double> v(points > 0 ? static_cast<std::size_t>(points) : 0);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(i) * mesh.spacing + mesh.origin[axis];
  return v;
}

}  // namespace expcoil
