// Winding assembly: from the current potential of one magnet to its conductors in their final place.
//
// The potential is contoured at (k - 0.5) * winding_current for every integer k, in the plane x = 0;
// those pieces are moved to the layer x = +winding_centre_to_midplane and a mirror copy with reversed
// currents is laid at x = -winding_centre_to_midplane. A bent magnet (non-zero angle) is then bent as a
// whole onto an arc in the x-z plane. Order of the finished set: the contour pieces in mesh order
// (cells row by row, two triangles per cell, levels ascending), then their mirror copies in the same
// order; bending keeps it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lib/matrix.hpp"
#include "magnet/records.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

// The windings of `magnet` over `potential`, the current potential on the magnet's coil mesh (its rows
// and columns give the mesh size). Throws InputError with a message for a potential that cannot be
// contoured (a non-finite value, a zero or non-finite winding current, more than 2^52 windings) and for
// a bent magnet that cannot be bent (see windings_bend).
WindingSet windings_generate(const MagnetSpec& magnet, const Matrix& potential);

// The number of segments windings_generate makes of `potential` (both layers), counted without making
// them; throws what windings_generate throws for a potential that cannot be contoured.
std::uint64_t windings_segment_count(const MagnetSpec& magnet, const Matrix& potential);
// The memory, in bytes, that windings of `segments` segments take at their peak while the field map
// is computed.
double windings_memory_bytes(std::uint64_t segments);

// Shifts the present segments to x + offset and appends their mirror copies, with negated currents, at
// x - offset: segment n + k is the mirror of segment k.
void windings_mirror(WindingSet& windings, double offset);

// Bends every end point onto the arc of radius R = length / angle whose centre line is x = R, z = 0:
// points with |z| <= length / 2 go onto the arc, points beyond an end continue straight along the arc's
// tangent there. y and the currents are not changed, nor the number and order of the segments; each
// segment stays the chord between its mapped end points. Every bent coordinate is within 1e-12 of the
// point's size of the exact arc, whatever the angle (a tiny angle makes R huge, up to beyond double
// range). Throws InputError unless length and angle are finite and non-zero.
void windings_bend(WindingSet& windings, const MagnetSpec& magnet);

// The same bend applied to `count` points (x[i], z[i]) in place, to the same bits as the end points of
// windings: the path a beam at a given x and y follows through a bent magnet is the image of the straight
// line. Throws what windings_bend throws.
void bend_points(const MagnetSpec& magnet, double* x, double* z, std::size_t count);

}  // namespace expcoil
