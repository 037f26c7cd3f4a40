#include "io/export/tosca.hpp"

#include "io/export/point_lines_writer.hpp"

namespace expcoil {
namespace {

class ToscaWriter final : public PointLinesWriter<put_exact> {
 public:
  ToscaWriter(const std::string& path, const FieldMapGrid& grid)
      : PointLinesWriter(path, grid, 1.0, ' ', true) {
    file_.text(" ").text(std::to_string(grid.count[0])).text(" ").text(std::to_string(grid.count[1]));
    file_.text(" ").text(std::to_string(grid.count[2])).text("\n");
    file_.text(" 1 X [METRE]\n 2 Y [METRE]\n 3 Z [METRE]\n 4 BX [TESLA]\n 5 BY [TESLA]\n 6 BZ [TESLA]\n");
    file_.text(" 0 [METRE]\n");
  }
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
