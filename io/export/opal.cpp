#include "io/export/opal.hpp"

#include "io/text_support.hpp"
#include "lib/output_file.hpp"

namespace expcoil {
namespace {

constexpr double kCentimetres = 100.0;

class OpalWriter final : public FieldMapWriter {
 public:
  OpalWriter(const std::string& path, const FieldMapGrid& grid) : file_(path) {
    file_.text(
        "# expcoil field map for OPAL 3DMagnetoStatic: lengths in cm, B in tesla, counts are intervals\n");
    file_.text("# loop order: y slowest, then x, z fastest (the order OPAL's reader indexes)\n");
    file_.text("3DMagnetoStatic FALSE\n");
    for (int a = 0; a < 3; ++a) {
      const double last = grid.value(a, grid.count[a] - 1);
      file_.text(plain_text(grid.min[a] * kCentimetres)).text(" ").text(plain_text(last * kCentimetres));
      file_.text(" ").text(std::to_string(grid.count[a] - 1)).text("\n");
    }
  }

  // readMap's fill order read through getIndex(i, j, k) = k + nz (i + nx j).
  LoopOrder order() const override { return LoopOrder{{1, 0, 2}}; }

  void write(const double* b, std::size_t points) override {
    file_.throw_if_failed();
    char line[kLineText];
    for (std::size_t p = 0; p < points; ++p, b += 3) {
      const char* end = point_line(line, nullptr, b, ' ', false, put_exact);
      file_.text({line, static_cast<std::size_t>(end - line)});
    }
  }

  void finish() override { file_.commit_or_throw(); }

 private:
  OutputFile file_;
};

}  // namespace

std::unique_ptr<FieldMapWriter> opal_writer(const std::string& path, const FieldMapGrid& grid,
                                            const ExportOptions&) {
  return std::make_unique<OpalWriter>(path, grid);
}

}  // namespace expcoil
