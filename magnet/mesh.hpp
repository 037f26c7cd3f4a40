// Placement of the square-celled meshes (rows along y, columns along z) over a magnet's winding
// region: from y = -(end + good-field height) to y = join + end + good-field height, and 0.625 m
// beyond each end of the magnet in z. The direction that needs the larger spacing is covered edge to
// edge; the other overhangs equally on both sides. Contouring is sensitive to the last bits of the
// spacing and origin, so the operation order below is part of the result.
#pragma once

#include <cstdint>
#include <vector>

#include "magnet/records.hpp"

namespace expcoil {

struct MeshGeometry {
  double spacing = 0.0;                // m, along y and z alike
  double origin[3] = {0.0, 0.0, 0.0};  // point (0, 0); x is always 0
};

// rows and columns must be at least 2 (the configuration check guarantees it).
MeshGeometry mesh_geometry(const MagnetSpec& magnet, std::int32_t rows, std::int32_t columns);

// The coordinates of the mesh points along y (rows) and z (columns), index * spacing + origin, as the
// solver and the contouring place them.
std::vector<double> mesh_axis(const MeshGeometry& mesh, int axis, std::int32_t points);

}  // namespace expcoil
