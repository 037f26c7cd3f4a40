#include "io/export/g4beamline.hpp"

#include "io/export/point_lines_writer.hpp"

namespace expcoil {
namespace {

constexpr double kMillimetres = 1000.0;

class G4beamlineWriter final : public PointLinesWriter<put_single> {
 public:
  G4beamlineWriter(const std::string& path, const FieldMapGrid& grid)
      : PointLinesWriter(path, grid, kMillimetres, ' ', false) {
    file_.text("# expcoil field map for G4beamline (BLFieldMap grid): lengths in mm, B in tesla\n");
    file_.text("# lines x slowest, then y, z fastest; the reader places each line by its coordinates\n");
    file_.text("param maxline=1024 current=1 gradient=1 normB=1 normE=1\n");
    static constexpr const char* kAxis[3] = {"X", "Y", "Z"};
    file_.text("grid");
    for (int a = 0; a < 3; ++a)
      file_.text(" ").text(kAxis[a]).text("0=").text(plain_text(grid.min[a] * kMillimetres));
    for (int a = 0; a < 3; ++a) file_.text(" n").text(kAxis[a]).text("=").text(std::to_string(grid.count[a]));
    for (int a = 0; a < 3; ++a)
      file_.text(" d").text(kAxis[a]).text("=").text(plain_text(grid.cell[a] * kMillimetres));
    file_.text("\ndata\n");
  }
};

}  // namespace

std::unique_ptr<FieldMapWriter> g4beamline_writer(const std::string& path, const FieldMapGrid& grid,
                                                  const ExportOptions&) {
  check_single_grid(grid, kMillimetres, "mm", "G4beamline");
  return std::make_unique<G4beamlineWriter>(path, grid);
}

}  // namespace expcoil
