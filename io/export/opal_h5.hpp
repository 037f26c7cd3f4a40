// OPAL's H5hut block field map (FM3DMagnetoStaticH5Block), written with the plain HDF5 library in the
// layout H5hut gives it:
//
//   attribute "Resonance Frequency(Hz)" = 0            read by OPAL even for a static map
//   /Step#0/Block/Efield/{0,1,2}                       all zero; OPAL takes the grid from this field
//   /Step#0/Block/Bfield/{0,1,2}                       Bx, By, Bz in tesla
//     each a contiguous float64 dataset of extents [nz][ny][nx] (x fastest)
//     attributes __Origin__ and __Spacing__: float64[3] (x, y, z) in mm
//
// Root attributes lengthUnit, fieldUnit and loopOrder record the units and order for people.
#pragma once

#include <memory>
#include <string>

#include "io/export/field_map_writer.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> opal_h5_writer(const std::string& path, const FieldMapGrid& grid);

}  // namespace expcoil
