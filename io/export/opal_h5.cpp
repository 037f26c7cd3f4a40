#include "io/export/opal_h5.hpp"

#include <vector>

#include "io/export/hdf5_support.hpp"

namespace expcoil {
namespace {

constexpr double kMillimetres = 1000.0;

class OpalH5Writer final : public FieldMapWriter {
 public:
  OpalH5Writer(const std::string& path, const FieldMapGrid& grid)
      : h5_(path),
        dims_{static_cast<hsize_t>(grid.count[2]), static_cast<hsize_t>(grid.count[1]),
              static_cast<hsize_t>(grid.count[0])} {
    h5_.attribute(h5_.root(), "Resonance Frequency(Hz)", {0.0});
    h5_.attribute(h5_.root(), "lengthUnit", "mm");
    h5_.attribute(h5_.root(), "fieldUnit", "T");
    h5_.attribute(h5_.root(), "loopOrder", "x fastest, z slowest: datasets are [z][y][x]");
    H5Object step = h5_.group(h5_.root(), "Step#0");
    H5Object block = h5_.group(step.id(), "Block");
    for (const char* name : {"Efield", "Bfield"}) {
      H5Object field = h5_.group(block.id(), name);
      h5_.attribute(field.id(), "__Origin__",
                    {grid.min[0] * kMillimetres, grid.min[1] * kMillimetres, grid.min[2] * kMillimetres});
      h5_.attribute(field.id(), "__Spacing__",
                    {grid.cell[0] * kMillimetres, grid.cell[1] * kMillimetres, grid.cell[2] * kMillimetres});
      const bool zero = name[0] == 'E';
      for (int c = 0; c < 3; ++c) {
        const char component[2] = {static_cast<char>('0' + c), '\0'};
        H5Object d = h5_.dataset(field.id(), component, H5T_IEEE_F64LE, {dims_[0], dims_[1], dims_[2]}, zero);
        if (!zero) b_[c] = std::move(d);
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

  void finish() override {
    for (H5Object& d : b_) h5_.check(d.reset() ? 0 : -1, "close a dataset");
    h5_.commit();
  }

 private:
  Hdf5Output h5_;  // first: closes the file after the datasets below
  hsize_t dims_[3];
  H5Object b_[3];
  std::vector<double> component_;
  std::uint64_t written_ = 0;
};

}  // namespace

std::unique_ptr<FieldMapWriter> opal_h5_writer(const std::string& path, const FieldMapGrid& grid) {
  return std::make_unique<OpalH5Writer>(path, grid);
}

}  // namespace expcoil
