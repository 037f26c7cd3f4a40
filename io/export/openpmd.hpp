// A field mesh of the openPMD BeamPhysics extension in HDF5, as Bmad (grid_field) and openPMD-beamphysics
// read it; SI units throughout (metres, tesla).
//
//   root attributes  openPMD, openPMDextension = BeamPhysics, externalFieldPath = /ExternalFieldPath/%T/
//   /ExternalFieldPath/1/         gridGeometry = rectangular, eleAnchorPt = center (z = 0 is the magnet's
//                                 centre), axisLabels = (x, y, z), gridLowerBound = 0, gridSize,
//                                 gridOriginOffset (first node), gridSpacing, harmonic = 0, fieldScale = 1
//   /ExternalFieldPath/1/magneticField/{x,y,z}
//                                 [nx][ny][nz] datasets in C order (z fastest, the CSV's order), each a
//                                 complex number {r, i} with i = 0; unitSI = 1, and unitDimension (also
//                                 on magneticField, as the standard has it) and unitSymbol = T on each
//                                 component, where openPMD-beamphysics' FieldMesh reads them
//
// Bmad reads a field component only as such a compound (a plain real dataset is taken for an old-style
// group of r and i), and h5py reads the compound as complex128, so both get the field.
#pragma once

#include <memory>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> openpmd_writer(const std::string& path, const FieldMapGrid& grid,
                                               const ExportOptions& options);

inline constexpr ExportFormat kOpenPmdFormat{
    .name = "openpmd",
    .summary = "openPMD BeamPhysics field mesh in HDF5 for Bmad and openPMD-beamphysics (m, T)",
    .field_map_extension = ".h5",
    .field_map_writer = openpmd_writer,
};

}  // namespace expcoil
