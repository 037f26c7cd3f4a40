// OPAL's H5hut block field map (FM3DMagnetoStaticH5Block), written with the plain HDF5 library in the
// layout H5hut gives it:
//
//   attribute "Resonance Frequency(Hz)" = 0            read by OPAL even for a static map
//   /Step#0/Block/Efield/{0,1,2}                       all zero; OPAL takes the grid from this field
//   /Step#0/Block/Bfield/{0,1,2}                       Bx, By, Bz in tesla
//     each a contiguous float64 dataset of extents [nz][ny][nx] (x fastest)
//     attributes __Origin__ and __Spacing__: float64[3] (x, y, z), in metres
//
// OPAL uses __Origin__ and __Spacing__ as they are (FM3DH5BlockBase::getFieldInfo), and OPAL-T's
// elements look the map up at positions in metres; only the cyclotron tracking converts to millimetres,
// for which OpalH5Units::mm writes them in mm. Root attributes lengthUnit ("m" or "mm"), fieldUnit and
// loopOrder record the units and order for people.
#pragma once

#include <memory>
#include <string>

#include "io/export/export_format.hpp"

namespace expcoil {

std::unique_ptr<FieldMapWriter> opal_h5_writer(const std::string& path, const FieldMapGrid& grid,
                                               const ExportOptions& options);

inline constexpr ExportFormat kOpalH5Format{
    .name = "opal-h5",
    .summary = "OPAL H5hut block map: Step#0/Block/Bfield and a zero Efield (m, T; --opal-h5-units=mm)",
    .field_map_extension = ".h5part",
    .field_map_writer = opal_h5_writer,
};

}  // namespace expcoil
