// The field of straight segments at any points, and the field map of a design: both through
// The field evaluators (magnet/field_evaluator.hpp), the exact direct sum of the program, with the GIL
// released while they run. FieldMap is a field map as a value: its axes and its field, B a view of the C++
// vector.
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "io/program/field_map_csv.hpp"
#include "lib/errors.hpp"
#include "lib/number_format.hpp"
#include "magnet/field.hpp"
#include "magnet/field_map.hpp"
#include "magnet/field_map_grid.hpp"

namespace expcoil::python {
namespace {

// Segments, currents and points as field() takes them.
struct FieldArguments {
  WindingSet windings;
  Points points;
  unsigned workers;
};

FieldArguments field_arguments(const py::handle& segments, const py::handle& currents,
                               const py::handle& points, const py::handle& workers) {
  FieldArguments a;
  a.workers = worker_argument(workers);
  a.windings = winding_set_argument(segments, currents);
  a.points = points_argument(points);
  return a;
}

// The field is finite wherever the inputs are, unless they are so large that a square overflows.
void require_finite_field(const double* b, std::size_t m, const std::vector<py::ssize_t>& shape) {
  for (std::size_t i = 0; i < 3 * m; ++i) {
    if (!std::isfinite(b[i])) {
      throw InputError(
          "the field at points[" + index_text(i / 3, shape) +
          "] is not a finite number: coordinates or currents this large overflow double precision");
    }
  }
}

// The exact formula divides by 4ac - b^2 = 4 |d x r|^2, which it computes as a difference: next to a
// segment's line its rounding error, relative to the segment's term, is about 2 eps c / h^2 (eps = 2^-53,
// h the point's distance from the line, c the larger squared distance to the segment's ends). Where that
// reaches 1 the value holds no digit (a 2 m wire 10 nm away gives 0 instead of 20 T); a point exactly on
// the line contributes nothing, as everywhere.
constexpr double kNearLineBound = 1.0;
constexpr double kTwoEpsilon = 0x1p-52;

struct NearLine {
  std::size_t point, segment;
  double distance, bound;
};

// The first point (in order) for which the bound reaches kNearLineBound, if any. Points are binned in a
// grid, so that each segment only looks at the points within its thin tube where the bound can reach it.
std::optional<NearLine> near_line_point(const WindingSet& windings, const Points& p) {
  const std::size_t m = p.x.size();
  if (m == 0 || windings.count() == 0) return std::nullopt;
  const std::vector<double>* axes[3] = {&p.x, &p.y, &p.z};
  double lo[3], size[3];
  int cells[3];
  const int per_axis = std::clamp(static_cast<int>(std::cbrt(static_cast<double>(m))), 1, 32);
  for (int a = 0; a < 3; ++a) {
    const auto [low, high] = std::minmax_element(axes[a]->begin(), axes[a]->end());
    lo[a] = *low;
    cells[a] = *high > *low ? per_axis : 1;
    size[a] = *high > *low ? (*high - *low) / cells[a] : 1.0;
  }
  const auto cell_of = [&](int a, double v) {
    // Clamped as a double: a far coordinate's quotient does not fit an int.
    return static_cast<int>(std::clamp((v - lo[a]) / size[a], 0.0, cells[a] - 1.0));
  };
  const std::size_t cell_count = static_cast<std::size_t>(cells[0]) * cells[1] * cells[2];
  std::vector<std::size_t> start(cell_count + 1, 0), order(m);
  std::vector<std::size_t> cell(m);
  for (std::size_t i = 0; i < m; ++i) {
    cell[i] = (static_cast<std::size_t>(cell_of(0, p.x[i])) * cells[1] + cell_of(1, p.y[i])) * cells[2] +
              cell_of(2, p.z[i]);
    ++start[cell[i] + 1];
  }
  for (std::size_t c = 0; c < cell_count; ++c) start[c + 1] += start[c];
  std::vector<std::size_t> fill(start.begin(), start.end() - 1);
  for (std::size_t i = 0; i < m; ++i) order[fill[cell[i]]++] = i;

  std::optional<NearLine> first;
  for (std::size_t j = 0; j < windings.count(); ++j) {
    const Segment& s = windings[j];
    const double dx = s.x2 - s.x1, dy = s.y2 - s.y1, dz = s.z2 - s.z1;
    const double a = dx * dx + dy * dy + dz * dz;
    if (!(a > 0.0)) continue;
    // Where the bound reaches 1, h^2 <= 2 eps (a + h^2): a tube of this radius, with room for rounding.
    const double tube = std::sqrt(kTwoEpsilon * a) * 1.01 + 1e-300;
    const double from[3] = {std::min(s.x1, s.x2) - tube, std::min(s.y1, s.y2) - tube,
                            std::min(s.z1, s.z2) - tube};
    const double to[3] = {std::max(s.x1, s.x2) + tube, std::max(s.y1, s.y2) + tube,
                          std::max(s.z1, s.z2) + tube};
    int c0[3], c1[3];
    bool outside = false;
    for (int ax = 0; ax < 3; ++ax) {
      const double high = lo[ax] + size[ax] * cells[ax];
      if (to[ax] < lo[ax] || from[ax] > (cells[ax] == 1 ? lo[ax] : high)) outside = true;
      c0[ax] = cell_of(ax, from[ax]);
      c1[ax] = cell_of(ax, to[ax]);
    }
    if (outside) continue;
    for (int cx = c0[0]; cx <= c1[0]; ++cx)
      for (int cy = c0[1]; cy <= c1[1]; ++cy)
        for (int cz = c0[2]; cz <= c1[2]; ++cz) {
          const std::size_t c = (static_cast<std::size_t>(cx) * cells[1] + cy) * cells[2] + cz;
          for (std::size_t k = start[c]; k < start[c + 1]; ++k) {
            const std::size_t i = order[k];
            if (first && i >= first->point) continue;
            const double rx = p.x[i] - s.x1, ry = p.y[i] - s.y1, rz = p.z[i] - s.z1;
            const double t = rx * dx + ry * dy + rz * dz;
            if (t < 0.0 || t > a) continue;  // beyond the ends the term is small and the sum holds
            const double cx_ = dy * rz - dz * ry, cy_ = dz * rx - dx * rz, cz_ = dx * ry - dy * rx;
            const double cross = cx_ * cx_ + cy_ * cy_ + cz_ * cz_;  // a h^2, without the cancellation
            if (cross == 0.0) continue;                              // on the line: no term
            const double ex = p.x[i] - s.x2, ey = p.y[i] - s.y2, ez = p.z[i] - s.z2;
            const double c_far = std::max(rx * rx + ry * ry + rz * rz, ex * ex + ey * ey + ez * ez);
            const double h2 = cross / a;
            const double bound = kTwoEpsilon * c_far / h2;
            if (bound >= kNearLineBound) first = NearLine{i, j, std::sqrt(h2), bound};
          }
        }
  }
  return first;
}

// A relative tolerance: None gives `absent`; otherwise a real number (not a bool, not text), finite, >= 0.
double tolerance_argument(const py::handle& tolerance, double absent) {
  if (tolerance.is_none()) return absent;
  const bool number = !PyBool_Check(tolerance.ptr()) &&
                      (PyFloat_Check(tolerance.ptr()) || PyLong_Check(tolerance.ptr()) ||
                       py::isinstance(tolerance, py::module_::import("numpy").attr("floating")) ||
                       py::isinstance(tolerance, py::module_::import("numpy").attr("integer")));
  const double v = number ? PyFloat_AsDouble(tolerance.ptr()) : -1.0;
  if (!number || !std::isfinite(v) || v < 0.0) {
    throw py::value_error("tolerance must be a real number >= 0 or None (it is " +
                          py::repr(tolerance).cast<std::string>() + ")");
  }
  return v;
}

py::array_t<double> field(const py::handle& segments, const py::handle& currents, const py::handle& points,
                          const py::handle& workers, const py::handle& tolerance) {
  const FieldArguments a = field_arguments(segments, currents, points, workers);
  const FieldOptions options{tolerance_argument(tolerance, 0.0)};
  std::optional<NearLine> near;
  {
    py::gil_scoped_release release;
    near = near_line_point(a.windings, a.points);
  }
  if (near) {
    const Segment& s = a.windings[near->segment];
    const double length = std::sqrt((s.x2 - s.x1) * (s.x2 - s.x1) + (s.y2 - s.y1) * (s.y2 - s.y1) +
                                    (s.z2 - s.z1) * (s.z2 - s.z1));
    throw InputError(
        "points[" + index_text(near->point, a.points.shape) + "] is " + format_general(near->distance, 3) +
        " m from the line of segments[" + std::to_string(near->segment) + "] (" + format_general(length, 3) +
        " m long), where the exact formula's rounding error reaches " + format_general(near->bound, 3) +
        " of that segment's field: the field there is meaningless");
  }
  py::array_t<double> result(a.points.shape);
  double* out = result.mutable_data();
  const std::size_t m = a.points.x.size();
  {
    py::gil_scoped_release release;
    make_field_evaluator(a.windings, options)
        ->field_at_points(a.points.x.data(), a.points.y.data(), a.points.z.data(), m, out, a.workers);
  }
  require_finite_field(out, m, a.points.shape);
  return result;
}

// Benchmark hook: what field() computes, with only the kernel's share timed (the same call of
// evaluation on the same data, the evaluator made before the clock starts).
py::tuple kernel_timing(const py::handle& segments, const py::handle& currents, const py::handle& points,
                        const py::handle& workers) {
  const FieldArguments a = field_arguments(segments, currents, points, workers);
  py::array_t<double> result(a.points.shape);
  double* out = result.mutable_data();
  double seconds = 0.0;
  {
    py::gil_scoped_release release;
    const std::unique_ptr<FieldEvaluator> evaluator = direct_sum_evaluator(a.windings);
    const auto start = std::chrono::steady_clock::now();
    evaluator->field_at_points(a.points.x.data(), a.points.y.data(), a.points.z.data(), a.points.x.size(),
                               out, a.workers);
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  return py::make_tuple(seconds, result);
}

std::vector<double> axis_argument(const py::handle& values, const char* name) {
  const py::array_t<double> a = real_array(values, name);
  if (a.ndim() != 1 || a.shape(0) < 1) {
    throw py::value_error(std::string(name) + " must have the shape (n,) with n >= 1 (its shape is " +
                          shape_text(a) + ")");
  }
  const auto v = a.unchecked<1>();
  std::vector<double> axis(static_cast<std::size_t>(a.shape(0)));
  for (py::ssize_t i = 0; i < a.shape(0); ++i) {
    axis[i] = v(i);
    if (!std::isfinite(axis[i])) {
      throw py::value_error(std::string(name) + "[" + std::to_string(i) + "] is not a finite number");
    }
    // A repeated or falling value makes a grid the map's file cannot hold: its reader finds the axes by
    // where the values stop increasing.
    if (i > 0 && !(axis[i] > axis[i - 1])) {
      throw py::value_error(std::string(name) + " must increase strictly (" + name + "[" + std::to_string(i) +
                            "] is " + py::repr(py::float_(axis[i])).cast<std::string>() + " after " +
                            py::repr(py::float_(axis[i - 1])).cast<std::string>() + ")");
    }
  }
  return axis;
}

std::shared_ptr<FieldMapTable> field_map_from_arrays(const py::handle& x, const py::handle& y,
                                                     const py::handle& z, const py::handle& b) {
  auto map = std::make_shared<FieldMapTable>();
  map->x = axis_argument(x, "x");
  map->y = axis_argument(y, "y");
  map->z = axis_argument(z, "z");
  const py::array_t<double> field = real_array(b, "B");
  const py::ssize_t nx = static_cast<py::ssize_t>(map->x.size()),
                    ny = static_cast<py::ssize_t>(map->y.size()),
                    nz = static_cast<py::ssize_t>(map->z.size());
  if (field.ndim() != 4 || field.shape(0) != nx || field.shape(1) != ny || field.shape(2) != nz ||
      field.shape(3) != 3) {
    throw py::value_error("B must have the shape (" + std::to_string(nx) + ", " + std::to_string(ny) + ", " +
                          std::to_string(nz) + ", 3), (len(x), len(y), len(z), 3) (its shape is " +
                          shape_text(field) + ")");
  }
  const auto v = field.unchecked<4>();
  map->b.reserve(static_cast<std::size_t>(field.size()));
  for (py::ssize_t i = 0; i < nx; ++i)
    for (py::ssize_t j = 0; j < ny; ++j)
      for (py::ssize_t k = 0; k < nz; ++k)
        for (py::ssize_t c = 0; c < 3; ++c) {
          // The map's own reader refuses what is not a number: it would not read back what it wrote.
          if (!std::isfinite(v(i, j, k, c))) {
            throw py::value_error("B[" + std::to_string(i) + ", " + std::to_string(j) + ", " +
                                  std::to_string(k) + "] is not a finite number");
          }
          map->b.push_back(v(i, j, k, c));
        }
  return map;
}

std::shared_ptr<FieldMapTable> field_map(const py::handle& design, const py::handle& magnet,
                                         const py::handle& workers, const py::handle& tolerance) {
  const unsigned w = worker_argument(workers);
  const WindingSet& windings = design_windings(design);
  const MagnetHandle record = magnet.is_none() ? magnet_of_design(design) : magnet.cast<MagnetHandle>();
  const FieldOptions options{tolerance_argument(tolerance, record->params.fieldmap_tolerance)};
  auto map = std::make_shared<FieldMapTable>();
  {
    py::gil_scoped_release release;
    *map = field_map_table(field_map_compute(windings, field_map_grid(*record), w, nullptr, options));
  }
  return map;
}

py::array axis_view(const std::vector<double>& v, const py::handle& owner) {
  return read_only_view({static_cast<py::ssize_t>(v.size())}, {sizeof(double)}, v.data(), owner);
}

}  // namespace

void init_field(py::module_& m) {
  py::class_<FieldMapTable, std::shared_ptr<FieldMapTable>>(m, "FieldMap", R"doc(
The field on a regular grid, as the field map file holds it.

Made by ``expcoil.field_map(design)``, ``expcoil.read_fieldmap(path)``, or from arrays:
``FieldMap(x, y, z, B)``. Read-only (``.copy()`` an array to change it).

Attributes
----------
x, y, z : ndarray, shapes (nx,), (ny,), (nz,)
    The grid's values along each axis, m.
B : ndarray, shape (nx, ny, nz, 3)
    (Bx, By, Bz) in tesla at every grid point: ``B[i, j, k]`` is the field at (x[i], y[j], z[k]).
)doc")
      .def_property_readonly(
          "x", [](const py::object& self) { return axis_view(self.cast<const FieldMapTable&>().x, self); },
          "The grid's values along x, m: ndarray (nx,).")
      .def_property_readonly(
          "y", [](const py::object& self) { return axis_view(self.cast<const FieldMapTable&>().y, self); },
          "The grid's values along y, m: ndarray (ny,).")
      .def_property_readonly(
          "z", [](const py::object& self) { return axis_view(self.cast<const FieldMapTable&>().z, self); },
          "The grid's values along z, m: ndarray (nz,).")
      .def_property_readonly(
          "B",
          [](const py::object& self) {
            const FieldMapTable& map = self.cast<const FieldMapTable&>();
            const py::ssize_t nx = static_cast<py::ssize_t>(map.x.size()),
                              ny = static_cast<py::ssize_t>(map.y.size()),
                              nz = static_cast<py::ssize_t>(map.z.size());
            constexpr py::ssize_t d = sizeof(double);
            return read_only_view({nx, ny, nz, 3}, {ny * nz * 3 * d, nz * 3 * d, 3 * d, d}, map.b.data(),
                                  self);
          },
          "(Bx, By, Bz) in T at every grid point: ndarray (nx, ny, nz, 3), B[i, j, k] at (x[i], "
          "y[j], z[k]).")
      .def(
          "points",
          [](const FieldMapTable& map) {
            const py::ssize_t nx = static_cast<py::ssize_t>(map.x.size()),
                              ny = static_cast<py::ssize_t>(map.y.size()),
                              nz = static_cast<py::ssize_t>(map.z.size());
            py::array_t<double> p({nx, ny, nz, py::ssize_t{3}});
            double* out = p.mutable_data();
            for (py::ssize_t i = 0; i < nx; ++i)
              for (py::ssize_t j = 0; j < ny; ++j)
                for (py::ssize_t k = 0; k < nz; ++k) {
                  *out++ = map.x[i];
                  *out++ = map.y[j];
                  *out++ = map.z[k];
                }
            return p;
          },
          "The grid points, ndarray of shape (nx, ny, nz, 3), m: ``points()[i, j, k] == (x[i], y[j], "
          "z[k])``, so "
          "that ``expcoil.field(segments, currents, fm.points())`` has the shape of ``fm.B``.")
      .def(
          "write_csv",
          [](const FieldMapTable& map, const std::filesystem::path& path) {
            py::gil_scoped_release release;
            field_map_csv_write(map, path.string());
          },
          py::arg("path"), R"doc(
Writes the map as the program writes fieldmap_<name>.csv, byte for byte: the header
"x (m),y,z, Bx (T),By,Bz", then "x,y,z, Bx,By,Bz" per point (x slowest, z fastest), numbers as
printf "%.15lg" with three-digit exponents, lines ending in CR LF. The file is written under a
temporary name and renamed when complete.

Raises
------
WriteError
    (an OSError) when the file cannot be written; nothing is left under `path` then.
)doc")
      .def("__repr__", [](const FieldMapTable& map) {
        return "<expcoil.FieldMap " + std::to_string(map.x.size()) + " x " + std::to_string(map.y.size()) +
               " x " + std::to_string(map.z.size()) + " points>";
      });

  guard_new(
      m.attr("FieldMap"),
      py::cpp_function([](const py::handle&, const py::handle& x, const py::handle& y, const py::handle& z,
                          const py::handle& b) { return field_map_from_arrays(x, y, z, b); },
                       py::arg("cls"), py::arg("x"), py::arg("y"), py::arg("z"), py::arg("B"),
                       "A field map from its axes (finite, m) and B of shape (len(x), len(y), len(z), 3), "
                       "T; the values are copied."));
  m.def("field", &field, py::arg("segments"), py::arg("currents"), py::arg("points"),
        py::arg("workers") = py::none(), py::arg("tolerance") = py::none(), "See expcoil.field.");
  m.def("field_map", &field_map, py::arg("design"), py::arg("magnet") = py::none(),
        py::arg("workers") = py::none(), py::arg("tolerance") = py::none(), "See expcoil.field_map.");
  m.def("_kernel_timing", &kernel_timing, py::arg("segments"), py::arg("currents"), py::arg("points"),
        py::arg("workers") = py::none(),
        "Benchmark hook: (seconds, B) where B is what field() returns and seconds is the time of the kernel "
        "call alone.");
}

}  // namespace expcoil::python
