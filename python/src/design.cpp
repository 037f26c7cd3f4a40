// Design: a magnet's current potential on its coil mesh and the windings contoured from it, computed
// as the program computes them. The WindingSet stays inside, so that field_map() reuses it, and the
// arrays Python sees are read-only views of it.
#include <pybind11/stl.h>

#include <string>
#include <utility>

#include "bindings.hpp"
#include "lib/matrix.hpp"
#include "magnet/design.hpp"
#include "magnet/mesh.hpp"
#include "magnet/precise.hpp"

namespace expcoil::python {
namespace {

// The library's Design, with the Magnet object Python handed in (which `magnet` gives back).
struct Design : expcoil::Design {
  MagnetHandle magnet;
};

std::shared_ptr<Design> design(MagnetHandle magnet, const py::handle& workers) {
  const unsigned w = worker_argument(workers);
  auto d = std::make_shared<Design>();
  {
    py::gil_scoped_release release;
    static_cast<expcoil::Design&>(*d) = design_magnet(*magnet, w);
  }
  d->magnet = std::move(magnet);
  return d;
}

py::array vector_view(const std::vector<double>& v, const py::handle& owner) {
  return read_only_view({static_cast<py::ssize_t>(v.size())}, {sizeof(double)}, v.data(), owner);
}

}  // namespace

// field_map() needs the windings of a Design; the class stays private to the binding files.
const WindingSet& design_windings(const py::handle& design) { return design.cast<const Design&>().windings; }
MagnetHandle magnet_of_design(const py::handle& design) { return design.cast<const Design&>().magnet; }

void init_design(py::module_& m) {
  py::class_<Design, std::shared_ptr<Design>>(m, "Design", R"doc(
A magnet's design: its current potential on the coil mesh and the windings contoured from it, as the
program computes them. Made by ``expcoil.design(magnet)``; read-only (the arrays are read-only views;
``.copy()`` one to change it).

Attributes
----------
magnet : Magnet
    The magnet designed.
potential : ndarray, shape (ny, nz)
    Current potential on the coil mesh, A; rows along y, columns along z; its outer ring is 0.
mesh_y : ndarray, shape (ny,)
    y of the coil-mesh rows, m.
mesh_z : ndarray, shape (nz,)
    z of the coil-mesh columns, m.
segments : ndarray, shape (n, 2, 3)
    Start and end point (x, y, z) of every straight conductor segment, m, in the order of the
    windings file.
currents : ndarray, shape (n,)
    Current of every segment, A, flowing from its start to its end point.
promise : list of dict
    In the precise mode (Config.design_mode "precise"), the figures of every good-field band as fractions,
    each within the promise: "band", "rms_deviation_from_law", "k_fit_relative_error",
    "max_local_field_index_error", "effective_length_spread", "k_int_relative_error"; empty in the
    literal mode.
)doc")
      .def_property_readonly(
          "magnet", [](const Design& d) { return std::const_pointer_cast<MagnetSpec>(d.magnet); },
          "The magnet designed (Magnet).")
      .def_property_readonly(
          "potential",
          [](const py::object& self) {
            const Matrix& p = self.cast<const Design&>().potential;
            const auto columns = static_cast<py::ssize_t>(p.columns());
            return read_only_view({static_cast<py::ssize_t>(p.rows()), columns},
                                  {columns * static_cast<py::ssize_t>(sizeof(double)), sizeof(double)},
                                  p.data(), self);
          },
          "Current potential on the coil mesh, A: ndarray (ny, nz), rows along y, columns along "
          "z, outer ring 0.")
      .def_property_readonly(
          "mesh_y",
          [](const py::object& self) { return vector_view(self.cast<const Design&>().mesh_y, self); },
          "y of the coil-mesh rows, m: ndarray (ny,).")
      .def_property_readonly(
          "mesh_z",
          [](const py::object& self) { return vector_view(self.cast<const Design&>().mesh_z, self); },
          "z of the coil-mesh columns, m: ndarray (nz,).")
      .def_property_readonly(
          "segments",
          [](const py::object& self) { return segments_view(self.cast<const Design&>().windings, self); },
          "Start and end point (x, y, z) of every segment, m: ndarray (n, 2, 3), in the order of the "
          "windings file.")
      .def_property_readonly(
          "currents",
          [](const py::object& self) { return currents_view(self.cast<const Design&>().windings, self); },
          "Current of every segment, A: ndarray (n,), flowing from its start to its end point.")
      .def_property_readonly(
          "promise",
          [](const Design& d) {
            py::list bands;
            for (const BandFigures& f : d.promise) {
              py::dict band;
              band["band"] = f.band;
              band["rms_deviation_from_law"] = f.rms_deviation;
              band["k_fit_relative_error"] = f.k_fit_error;
              band["max_local_field_index_error"] = f.max_local_index_error;
              band["effective_length_spread"] = f.effective_length_spread;
              band["k_int_relative_error"] = f.k_int_error;
              bands.append(band);
            }
            return bands;
          },
          "The precise mode's figures of every band (fractions, keyed as the report's tolerances), each "
          "within the promise: list of dict; empty in the literal mode.")
      .def("__repr__", [](const Design& d) {
        return "<expcoil.Design of magnet " + py::repr(text_to_python(d.magnet->name)).cast<std::string>() +
               ": " + std::to_string(d.windings.count()) + " segments, coil mesh " +
               std::to_string(d.potential.rows()) + " x " + std::to_string(d.potential.columns()) + ">";
      });
  guard_new(m.attr("Design"), "expcoil.design");
  m.def("design", &design, py::arg("magnet"), py::arg("workers") = py::none(), "See expcoil.design.");
  m.def(
      "coil_mesh",
      [](const MagnetHandle& magnet) {
        // The mesh the design samples: in the precise mode the one it chooses from the geometry, finer
        // than the configuration's (a report judging its windings by the configuration's spacing took
        // them for noise).
        const MagnetSpec designed = designed_magnet(*magnet);
        const std::int32_t rows = designed.params.coil_meshes[0], columns = designed.params.coil_meshes[1];
        const MeshGeometry mesh = mesh_geometry(designed, rows, columns);
        return py::make_tuple(py::array(py::cast(mesh_axis(mesh, 1, rows))),
                              py::array(py::cast(mesh_axis(mesh, 2, columns))));
      },
      py::arg("magnet"), "See expcoil.coil_mesh.");
}

}  // namespace expcoil::python
