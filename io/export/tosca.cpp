#include "io/export/tosca.hpp"

#include <vector>

#include "io/text_support.hpp"
#include "lib/output_file.hpp"

namespace expcoil {
namespace {

class ToscaWriter final : public FieldMapWriter {
 public:
  ToscaWriter(const std::string& path, const FieldMapGrid& grid) : file_(path), walk_(grid, kCsvOrder) {
    file_.text(" ").text(std::to_string(grid.count[0])).text(" ").text(std::to_string(grid.count[1]));
    file_.text(" ").text(std::to_string(grid.count[2])).text("\n");
    file_.text(" 1 X [METRE]\n 2 Y [METRE]\n 3 Z [METRE]\n 4 BX [TESLA]\n 5 BY [TESLA]\n 6 BZ [TESLA]\n");
    file_.text(" 0 [METRE]\n");
    for (int a = 0; a < 3; ++a) axis_[a] = axis_texts(grid, a, 1.0, put_coordinate);
  }

  void write(const double* b, std::size_t points) override {
    file_.throw_if_failed();
    char line[kLineText];
    for (std::size_t p = 0; p < points; ++p, b += 3, walk_.next()) {
      const std::string* coordinates[3];
      for (int a = 0; a < 3; ++a) coordinates[a] = &axis_[a][static_cast<std::size_t>(walk_[a])];
      const char* end = point_line(line, coordinates, b, ' ', true, put_exact);
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

std::unique_ptr<FieldMapWriter> tosca_writer(const std::string& path, const FieldMapGrid& grid,
                                             const ExportOptions&) {
  return std::make_unique<ToscaWriter>(path, grid);
}

std::string tosca_name_note(std::string_view path) {
  // TOPAS takes the extension from the whole parameter, directories included, as here.
  const std::size_t dot = path.rfind('.');
  const std::string_view extension =
      dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
  if (extension == "TABLE") return {};
  return join({"TOPAS 4.1 and later read this table only from a name ending in \".TABLE\" (",
               extension == "csv" ? "\".csv\" selects their reader of another layout"
                                  : "they refuse any other extension",
               "); Zgoubi and TOPAS 4.0 take ", path, " as it is"});
}

}  // namespace expcoil
