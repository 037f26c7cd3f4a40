// The exporters of expcoil-export: a field map or windings in the format of a tracking code or viewer.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "io/export/export.hpp"
#include "io/program/field_map_csv.hpp"

namespace expcoil::python {
namespace {

py::dict report_of(const ExportReport& report) {
  py::list notes;
  for (const std::string& note : report.notes) notes.append(text_to_python(note));
  py::dict d;
  d["points"] = report.points;
  d["windings"] = report.loops;
  d["notes"] = notes;
  return d;
}

// `options`: "--key=value" texts, read as expcoil-export reads its own.
py::dict export_data(const py::handle& data, const std::string& format, const std::filesystem::path& path,
                     const std::vector<std::string>& options_text) {
  const ExportOptions options = parse_export_options(options_text);
  export_format(format);  // an unknown name is refused before any data is looked at
  if (py::isinstance<FieldMapTable>(data)) {
    const FieldMap map = field_map_from_table(data.cast<const FieldMapTable&>());
    ExportReport report;
    {
      py::gil_scoped_release release;
      report = export_field_map(map, format, path.string(), options);
    }
    return report_of(report);
  }
  WindingSet owned;
  const WindingSet* windings = nullptr;
  if (py::isinstance<py::tuple>(data) && py::len(data) == 2) {
    const py::tuple pair = data.cast<py::tuple>();
    owned = winding_set_argument(pair[0], pair[1]);
    windings = &owned;
  } else {
    try {
      windings = &design_windings(data);
    } catch (const py::cast_error&) {
      throw py::type_error("data must be a FieldMap, a Design or a (segments, currents) pair, not " +
                           std::string(py::str(py::type::of(data).attr("__name__"))));
    }
  }
  ExportReport report;
  {
    py::gil_scoped_release release;
    report = export_windings(*windings, format, path.string(), options);
  }
  return report_of(report);
}

}  // namespace

void init_export(py::module_& m) {
  m.def("export", &export_data, py::arg("data"), py::arg("format"), py::arg("path"), py::arg("options"),
        "See expcoil.export.");
  m.def(
      "export_formats",
      [] {
        py::list formats;
        for (const ExportFormat& f : export_formats()) {
          formats.append(py::make_tuple(std::string(f.name), std::string(f.summary),
                                        std::string(f.field_map_extension),
                                        std::string(f.windings_extension)));
        }
        return formats;
      },
      "See expcoil.export_formats.");
}

}  // namespace expcoil::python
