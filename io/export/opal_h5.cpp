#include "io/export/opal_h5.hpp"

#include <vector>

#include "io/export/hdf5_support.hpp"

namespace expcoil {
namespace {

class OpalH5Writer final : public FieldMapWriter {
 public:
  OpalH5Writer(const std::string& path, const FieldMapGrid& grid, OpalH5Units units)
      : h5_(path),
        dims_{static_cast<hsize_t>(grid.count[2]), static_cast<hsize_t>(grid.count[1]),
              static_cast<hsize_t>(grid.count[0])} {
    const bool mm = units == OpalH5Units::mm;
    const double scale = mm ? 1000.0 : 1.0;
    h5_.attribute(h5_.root(), "Resonance Frequency(Hz)", {0.0});
    h5_.attribute(h5_.root(), "lengthUnit", mm ? "mm" : "m");
    h5_.attribute(h5_.root(), "fieldUnit", "T");
    h5_.attribute(h5_.root(), "loopOrder", "x fastest, z slowest: datasets are [z][y][x]");
    H5Object step = h5_.group(h5_.root(), "Step#0");
    H5Object block = h5_.group(step.id(), "Block");
    for (const char* name : {"Efield", "Bfield"}) {
      H5Object field = h5_.group(block.id(), name);
      h5_.attribute(field.id(), "__Origin__",
                    {grid.min[0] * scale, grid.min[1] * scale, grid.min[2] * scale});
      h5_.attribute(field.id(), "__Spacing__",
                    {grid.cell[0] * scale, grid.cell[1] * scale, grid.cell[2] * scale});
      if (name[0] == 'E') {
        efield_ = std::move(field);
      } else {
        for (int c = 0; c < 3; ++c)
          b_[c] = h5_.dataset(field.id(), component(c), H5T_IEEE_F64LE, {dims_[0], dims_[1], dims_[2]});
      }
    }
  }

  LoopOrder order() const override { return kXFastest; }

  void write(const double* b, std::size_t points) override {
    component_.resize(points);
    for (int c = 0; c < 3; ++c) {
      for (std::size_t p = 0; p < points; ++p) component_[p] = b[3 * p + c];
      h5_.write_run(b_[c].id(), dims_, written_, points, H5T_NATIVE_DOUBLE, component_.data());
    }
    written_ += points;
  }

  // The zero Efield (OPAL reads it, and takes the grid from it) only once every B value has arrived, so a
  // map refused on the way costs no zeros.
  void finish() override {
    for (H5Object& d : b_) h5_.check(d.reset() ? 0 : -1, "close a dataset");
    for (int c = 0; c < 3; ++c) {
      H5Object zero =
          h5_.dataset(efield_.id(), component(c), H5T_IEEE_F64LE, {dims_[0], dims_[1], dims_[2]}, true);
      h5_.check(zero.reset() ? 0 : -1, "close a dataset");
    }
    efield_.reset();
    h5_.commit();
  }

 private:
  // H5hut's names of a vector field's components.
  static const char* component(int c) {
    static constexpr const char* kNames[3] = {"0", "1", "2"};
    return kNames[c];
  }

  Hdf5Output h5_;  // first: closes the file after the objects below
  hsize_t dims_[3];
  H5Object efield_;
  H5Object b_[3];
  std::vector<double> component_;
  std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<FieldMapWriter> opal_h5_writer(const std::string& path, const FieldMapGrid& grid,
                                               const ExportOptions& options) {
  return std::make_unique<OpalH5Writer>(path, grid, options.opal_h5_units);
}

}  // namespace expcoil
