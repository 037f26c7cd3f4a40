#include "io/export/openpmd.hpp"

#include <vector>

#include "io/export/hdf5_support.hpp"

namespace expcoil {
namespace {

// openPMD's unitDimension (powers of L, M, T, I, theta, N, J) of the tesla, kg A^-1 s^-2.
constexpr std::initializer_list<double> kTesla = {0.0, 1.0, -2.0, -1.0, 0.0, 0.0, 0.0};

H5Object complex_type(hid_t part) {
  H5Object type(H5Tcreate(H5T_COMPOUND, 2 * sizeof(double)), H5Tclose);
  H5Tinsert(type.id(), "r", 0, part);
  H5Tinsert(type.id(), "i", sizeof(double), part);
  return type;
}

class OpenPmdWriter final : public FieldMapWriter {
 public:
  OpenPmdWriter(const std::string& path, const FieldMapGrid& grid)
      : h5_(path),
        dims_{static_cast<hsize_t>(grid.count[0]), static_cast<hsize_t>(grid.count[1]),
              static_cast<hsize_t>(grid.count[2])},
        file_type_(complex_type(H5T_IEEE_F64LE)),
        memory_type_(complex_type(H5T_NATIVE_DOUBLE)) {
    h5_.check(file_type_.id(), "make a complex type");
    h5_.check(memory_type_.id(), "make a complex type");
    const hid_t root = h5_.root();
    h5_.attribute(root, "openPMD", "2.0.0");
    h5_.attribute(root, "openPMDextension", "BeamPhysics");
    h5_.attribute(root, "basePath", "/data/%T/");
    h5_.attribute(root, "externalFieldPath", "/ExternalFieldPath/%T/");
    h5_.attribute(root, "software", "expcoil");
    H5Object fields = h5_.group(root, "ExternalFieldPath");
    H5Object mesh = h5_.group(fields.id(), "1");
    h5_.attribute(mesh.id(), "gridGeometry", "rectangular");
    h5_.attribute(mesh.id(), "eleAnchorPt", "center");
    h5_.attribute(mesh.id(), "axisLabels", {"x", "y", "z"});
    h5_.attribute(mesh.id(), "gridLowerBound", {0, 0, 0});
    h5_.attribute(mesh.id(), "gridSize", {grid.count[0], grid.count[1], grid.count[2]});
    h5_.attribute(mesh.id(), "gridOriginOffset", {grid.min[0], grid.min[1], grid.min[2]});
    h5_.attribute(mesh.id(), "gridSpacing", {grid.cell[0], grid.cell[1], grid.cell[2]});
    h5_.attribute(mesh.id(), "gridUnitSI", 1.0);
    h5_.attribute(mesh.id(), "harmonic", std::int32_t{0});
    h5_.attribute(mesh.id(), "fieldScale", 1.0);
    h5_.attribute(mesh.id(), "RFphase", 0.0);
    h5_.attribute(mesh.id(), "gridCurvatureRadius", 0.0);
    H5Object field = h5_.group(mesh.id(), "magneticField");
    h5_.attribute(field.id(), "unitDimension", kTesla);
    h5_.attribute(field.id(), "axisLabels", {"x", "y", "z"});
    h5_.attribute(field.id(), "dataOrder", "C");
    for (int c = 0; c < 3; ++c) {
      const char name[2] = {static_cast<char>('x' + c), '\0'};
      b_[c] = h5_.dataset(field.id(), name, file_type_.id(), {dims_[0], dims_[1], dims_[2]});
      // openPMD-beamphysics reads the dimension of every component (and refuses a component without
      // one), as its own writer puts it there with the symbol.
      h5_.attribute(b_[c].id(), "unitSI", 1.0);
      h5_.attribute(b_[c].id(), "unitDimension", kTesla);
      h5_.attribute(b_[c].id(), "unitSymbol", "T");
    }
  }

  void write(const double* b, std::size_t points) override {
    component_.assign(2 * points, 0.0);
    for (int c = 0; c < 3; ++c) {
      for (std::size_t p = 0; p < points; ++p) component_[2 * p] = b[3 * p + c];
      h5_.write_run(b_[c].id(), dims_, written_, points, memory_type_.id(), component_.data());
    }
    written_ += points;
  }

  void finish() override {
    for (H5Object& d : b_) h5_.check(d.reset() ? 0 : -1, "close a dataset");
    file_type_.reset();
    memory_type_.reset();
    h5_.commit();
  }

 private:
  Hdf5Output h5_;  // first: closes the file after the objects below
  hsize_t dims_[3];
  H5Object file_type_;
  H5Object memory_type_;
  H5Object b_[3];
  std::vector<double> component_;
  std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<FieldMapWriter> openpmd_writer(const std::string& path, const FieldMapGrid& grid,
                                               const ExportOptions&) {
  return std::make_unique<OpenPmdWriter>(path, grid);
}

}  // namespace expcoil
