// The program's three files: readers that give numpy arrays, and writers of the exact formats.
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <string>

#include "bindings.hpp"
#include "io/program/conductor_file.hpp"
#include "io/program/field_map_csv.hpp"
#include "io/program/windings_table.hpp"
#include "lib/constants.hpp"

namespace expcoil::python {
namespace {

py::tuple read_windings(const std::filesystem::path& path) {
  WindingSet windings;
  {
    py::gil_scoped_release release;
    windings = windings_table_read(path.string());
  }
  const auto n = static_cast<py::ssize_t>(windings.count());
  py::array_t<double> segments({n, py::ssize_t{2}, py::ssize_t{3}});
  py::array_t<double> currents(n);
  double* s = segments.mutable_data();
  double* c = currents.mutable_data();
  for (const Segment& segment : windings) {
    *s++ = segment.x1, *s++ = segment.y1, *s++ = segment.z1;
    *s++ = segment.x2, *s++ = segment.y2, *s++ = segment.z2;
    *c++ = segment.current;
  }
  return py::make_tuple(segments, currents);
}

// The file's millimetres and degrees become metres and radians: mm / 1000 is the metre value nearest
// to the millimetres written, and degrees are converted as the configuration converts its angles.
py::tuple read_conductors(const std::filesystem::path& path) {
  std::vector<ConductorRecord> records;
  {
    py::gil_scoped_release release;
    records = conductor_file_read(path.string());
  }
  const auto n = static_cast<py::ssize_t>(records.size());
  py::array_t<double> start({n, py::ssize_t{3}});
  py::array_t<double> angles({n, py::ssize_t{3}});
  py::array_t<double> length(n);
  py::array_t<double> current(n);
  double* s = start.mutable_data();
  double* a = angles.mutable_data();
  for (py::ssize_t i = 0; i < n; ++i) {
    const ConductorRecord& r = records[static_cast<std::size_t>(i)];
    for (int k = 0; k < 3; ++k) {
      *s++ = r.start[k] / 1000;
      *a++ = r.angles[k] * kRadiansPerDegree;
    }
    length.mutable_at(i) = r.length / 1000;
    current.mutable_at(i) = r.current;
  }
  return py::make_tuple(start, angles, length, current);
}

void write_windings(const std::filesystem::path& path, const py::handle& segments, const py::handle& currents,
                    const std::string& format) {
  if (format != "csv" && format != "cond") {
    throw py::value_error(
        "format must be \"csv\" (the windings table) or \"cond\" (the conductor file), not \"" + format +
        "\"");
  }
  const WindingSet windings = winding_set_argument(segments, currents);
  py::gil_scoped_release release;
  if (format == "csv") {
    windings_table_write(windings, path.string());
  } else {
    conductor_file_write(windings, path.string());
  }
}

}  // namespace

void init_files(py::module_& m) {
  m.def(
      "read_fieldmap",
      [](const std::filesystem::path& path) {
        auto map = std::make_shared<FieldMapTable>();
        py::gil_scoped_release release;
        *map = field_map_csv_read(path.string());
        return map;
      },
      py::arg("path"), "See expcoil.read_fieldmap.");
  m.def("read_windings", &read_windings, py::arg("path"), "See expcoil.read_windings.");
  m.def("read_conductors", &read_conductors, py::arg("path"), "See expcoil.read_conductors.");
  m.def("write_windings", &write_windings, py::arg("path"), py::arg("segments"), py::arg("currents"),
        py::arg("format"), "See expcoil.write_windings.");
}

}  // namespace expcoil::python
