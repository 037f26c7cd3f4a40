#include "io/export/g4beamline.hpp"

#include <vector>

#include "io/text_support.hpp"
#include "lib/output_file.hpp"

namespace expcoil {
namespace {

constexpr double kMillimetres = 1000.0;

class G4beamlineWriter final : public FieldMapWriter {
 public:
  G4beamlineWriter(const std::string& path, const FieldMapGrid& grid) : file_(path), walk_(grid, kCsvOrder) {
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
    for (int a = 0; a < 3; ++a) axis_[a] = axis_texts(grid, a, kMillimetres, put_coordinate);
  }

  void write(const double* b, std::size_t points) override {
    file_.throw_if_failed();
    char line[kLineText];
    for (std::size_t p = 0; p < points; ++p, b += 3, walk_.next()) {
      const std::string* coordinates[3];
      for (int a = 0; a < 3; ++a) coordinates[a] = &axis_[a][static_cast<std::size_t>(walk_[a])];
      const char* end = point_line(line, coordinates, b, ' ', false, put_single);
      file_.text({line, static_cast<std::size_t>(end - line)});
    }
  }

  void finish() override { file_.commit_or_throw(); }

 private:
  OutputFile file_;
  GridWalk walk_;
  std::vector<std::string> axis_[3];
};

}  // namespace

std::unique_ptr<FieldMapWriter> g4beamline_writer(const std::string& path, const FieldMapGrid& grid,
                                                  const ExportOptions&) {
  check_single_grid(grid, kMillimetres, "mm", "G4beamline");
  return std::make_unique<G4beamlineWriter>(path, grid);
}

}  // namespace expcoil
