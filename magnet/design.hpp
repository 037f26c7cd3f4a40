// A magnet's design: the current potential on its coil mesh and the windings contoured from it. This is
// the one place the chain potential -> size checks -> windings is written; the program, the Python
// package and the fuzzer call it, and a new design mode goes behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "lib/matrix.hpp"
#include "magnet/promise.hpp"
#include "magnet/records.hpp"
#include "magnet/segment.hpp"

namespace expcoil {

struct Design {
  MagnetSpec magnet;           // the magnet designed
  Matrix potential;            // on the coil mesh, A: rows along y, columns along z
  std::vector<double> mesh_y;  // y of the coil-mesh rows, m
  std::vector<double> mesh_z;  // z of the coil-mesh columns, m
  WindingSet windings;         // both layers, bent for a bent magnet
  // The precise mode's figures of every band (magnet/promise.hpp), all within the promise; empty in the
  // literal mode.
  std::vector<BandFigures> promise;
};

// Called as each stage starts ("potential", "windings", and in the precise mode "promise", then where
// the field's level is corrected "correction", "windings", "promise"), for a front end that shows
// progress.
using DesignProgress = std::function<void(std::string_view stage)>;

// Designs `magnet` on `workers` workers (0: all processors). Before a single segment is made, the
// windings' count and their memory (with the field map's slab, which follows them) are judged against
// this machine and `max_segments`: a magnet that asks for more throws InputError naming the keys that
// decide it. Throws what the stages throw otherwise (FftLengthError, InputError).
//
// The magnet's "Design mode" chooses the chain: the literal one as configured, or the precise one
// (magnet/precise.hpp), which refuses a magnet outside its domain (InputError with the domain's
// messages) and judges its own windings: a design that misses the promise throws InputError naming the
// band and the figures. `magnet` of the Design is then the magnet as designed, with the meshes the
// precise mode chose.
Design design_magnet(const MagnetSpec& magnet, unsigned workers = 0, const DesignProgress& progress = {},
                     std::uint64_t max_segments = UINT32_MAX);

// The check design_magnet makes between the potential and the windings.
void require_windings_fit(const MagnetSpec& magnet, const Matrix& potential,
                          std::uint64_t max_segments = UINT32_MAX);

}  // namespace expcoil
