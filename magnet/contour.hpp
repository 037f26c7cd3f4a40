// Contouring of a current potential into straight conductor pieces.
//
// The mesh is cut into triangles (every cell along its diagonal from node (i-1, j-1) to node (i, j)) and
// each triangle is contoured on its own by linear interpolation along its edges: the level line at the
// potential (k - 0.5) * step, for every integer k, becomes one segment per triangle it crosses. Nothing
// traces or joins lines across cells; a winding exists only as the set of its pieces, in the order the
// triangles are visited. Two pieces that meet on an edge shared by two triangles meet exactly, because
// both compute the crossing from the same operands (from the edge's lower vertex).
//
// For a positive step each piece's current keeps the higher potential on its left in the view from +x,
// i.e. flows along (d psi/dz, -d psi/dy); the point order of a piece is not normalised, so about half of
// the pieces run against their current and carry -step.
#pragma once

#include <cstdint>

#include "lib/matrix.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

struct Point3 {
  double x, y, z;
};

// Contours every cell of `potential` (node (i, j) at (x0, y0 + i * spacing, z0 + j * spacing), value
// potential[i][j]), appending to `windings` without clearing it: rows i = 1 .. rows-1 outside, columns
// j = 1 .. columns-1 inside, the triangles ((i-1,j-1), (i,j-1), (i,j)) and then ((i-1,j-1), (i,j),
// (i-1,j)) of each cell. Only levels inside the window (lower, upper] are contoured (for a negative step
// the window's roles exchange, see contour_triangle); every current is factor * (+-step).
//
// A matrix with fewer than two rows or columns yields nothing. Throws InputError when the
// step is zero or not finite, when a value of the matrix is not finite, or when the potential spans so
// many steps (2^52) that the level arithmetic could no longer count them exactly; nothing is appended
// then.
void contour_mesh(WindingSet& windings, const Matrix& potential, double step, double x0, double y0, double z0,
                  double spacing, double lower, double upper, double factor);

// The number of pieces contour_mesh appends for `potential` and `step` with a window that admits every
// level, counted without making them (one pass over the cells), so that a caller can judge the memory
// first. Throws what contour_mesh throws for unusable input.
std::uint64_t contour_piece_count(const Matrix& potential, double step);

// Contours one triangle A, B, C (counterclockwise in the (y, z) plane seen from +x) with the values a, b,
// c at its vertices. The levels are the integers k of the level coordinate u = value / step + 0.5 (as
// value * (1 / step) + 0.5) with max(u_low_vertex, u(lower)) < k <= min(u_high_vertex, u(upper)),
// ascending; a level at the lowest vertex value is left out, one at the highest is contoured (with zero
// length when only that vertex reaches it). Of equal values, the vertex earlier in A, B, C ranks higher.
//
// Expects what contour_mesh checks: a finite non-zero step and finite values whose level coordinates
// stay below 2^52 in magnitude.
void contour_triangle(WindingSet& windings, double a, double b, double c, double step, const Point3& A,
                      const Point3& B, const Point3& C, double lower, double upper, double factor);

}  // namespace expcoil
