// Windings as chains: the segments of a winding set joined end to start into polylines of one current.
//
// Each segment is first turned so that its current is positive (a segment from a to b carrying -I is the
// segment from b to a carrying I). Ends closer than the join tolerance are one vertex. A chain starts at
// the first segment not yet used, in set order, and follows at each vertex the first unused segment of
// the same current that leaves it, until it is back at its start (closed) or nothing continues (open).
// Where the current enters and leaves every vertex equally often, as in windings that close, every chain
// closes: one that stops elsewhere proves an open winding there.
//
// Segments without length (both ends one vertex) or without current carry no field and are left out and
// counted. The layer of a segment is read from the set's order: a magnet's windings list one layer and
// then its mirror copy, so the first half is layer 1 and the second half layer 2 (0 for an odd count).
#pragma once

#include <cstddef>
#include <vector>

#include "magnet/segment.hpp"

namespace expcoil {

struct CoilChain {
  std::size_t first_point = 0;  // index of the first vertex in CoilChains::points / 3
  std::size_t point_count = 0;  // vertices; a closed chain does not repeat its first at the end
  double current = 0.0;         // A, positive, flowing in vertex order
  int layer = 0;
  bool closed = false;
  std::size_t first_segment = 0;         // index in the set of the segment the chain starts with
  std::size_t last_segment = 0;          // ... and of its last segment
  bool other_current_continues = false;  // open chains: a segment of another current leaves the end
};

struct CoilChains {
  std::vector<double> points;  // x, y, z of each vertex, m
  std::vector<CoilChain> chains;
  std::size_t zero_length = 0;   // segments left out
  std::size_t zero_current = 0;  // segments left out
};

// The smallest join tolerance but 0 (which joins only identical points). Vertices are found in a grid of
// tolerance-sized cells whose index saturates at 2^62: below 1e-12 m, coordinates of a few metres
// already share one saturated cell, and the search through it makes chaining quadratic.
inline constexpr double kMinJoinTolerance = 1e-12;

// Throws InputError unless `join_tolerance` (m) is 0 or finite and at least kMinJoinTolerance.
void check_join_tolerance(double join_tolerance);

// Throws check_join_tolerance's InputError, and WindingsError for a segment with a non-finite value.
CoilChains chain_windings(const WindingSet& windings, double join_tolerance);

}  // namespace expcoil
