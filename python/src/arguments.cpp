// Argument conversion shared by the binding files: checked once here, at the boundary, so that the
// core's kernels can trust what they are given.
#include <cmath>
#include <string>

#include "bindings.hpp"

namespace expcoil::python {
namespace {

std::string repr_text(const py::handle& value) {
  std::string text = py::repr(value).cast<std::string>();
  if (text.size() > 60) text = text.substr(0, 57) + "...";
  return text;
}

}  // namespace

void guard_new(const py::handle& cls, const py::handle& make) {
  // Set as attributes, so that Python's type slots follow them; pybind11's own instance creation (for
  // the values the functions return) does not go through __new__.
  cls.attr("__new__") = py::staticmethod(py::reinterpret_borrow<py::object>(make));
  cls.attr("__init__") = py::cpp_function([](const py::args&, const py::kwargs&) {}, py::is_method(cls));
}

void guard_new(const py::handle& cls, const char* made_by) {
  const std::string message =
      "expcoil." + cls.attr("__name__").cast<std::string>() + " cannot be made directly: use " + made_by;
  cls.attr("__new__") = py::staticmethod(
      py::cpp_function([message](const py::args&, const py::kwargs&) { throw py::type_error(message); }));
}

void check_coordinate(double v, const std::string& where) {
  if (!std::isfinite(v)) throw py::value_error(where + " has a coordinate that is not a finite number");
  if (std::fabs(v) > kMaxCoordinate) {
    throw py::value_error(where +
                          " has a coordinate beyond 1e+75 m, where the field's formula overflows double "
                          "precision");
  }
}

py::str text_to_python(const std::string& text) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

unsigned worker_argument(const py::handle& workers) {
  if (workers.is_none()) return 0;
  const std::string problem = "workers must be None (all processors) or a whole number from 1 to " +
                              std::to_string(kMaxWorkers) + " (it is " + repr_text(workers) + ")";
  if (PyBool_Check(workers.ptr())) throw py::value_error(problem);
  PyObject* index = PyNumber_Index(workers.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    throw py::value_error(problem);
  }
  const long long n = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();
  if (n < 1 || n > kMaxWorkers) throw py::value_error(problem);
  return static_cast<unsigned>(n);
}

py::array_t<double> real_array(const py::handle& value, const char* name) {
  py::array a = py::array::ensure(value);
  if (!a) {
    throw py::value_error(std::string(name) + " must be an array of numbers (it is " + repr_text(value) +
                          ")");
  }
  const char kind = a.dtype().kind();
  if (kind != 'i' && kind != 'u' && kind != 'f') {
    throw py::value_error(std::string(name) + " must hold real numbers (its dtype is " +
                          py::str(a.dtype()).cast<std::string>() + ")");
  }
  return py::array_t<double, py::array::forcecast>::ensure(a);
}

std::string shape_text(const py::array& a) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < a.ndim(); ++d) {
    if (d > 0) text += ", ";
    text += std::to_string(a.shape(d));
  }
  if (a.ndim() == 1) text += ",";
  return text + ")";
}

std::string index_text(std::size_t flat, const std::vector<py::ssize_t>& shape) {
  // The point's index in the leading dimensions, as numpy would index it.
  std::vector<py::ssize_t> index(shape.size() - 1);
  for (std::size_t d = index.size(); d-- > 0;) {
    index[d] = static_cast<py::ssize_t>(flat % static_cast<std::size_t>(shape[d]));
    flat /= static_cast<std::size_t>(shape[d]);
  }
  std::string text;
  for (std::size_t d = 0; d < index.size(); ++d) text += (d > 0 ? ", " : "") + std::to_string(index[d]);
  return text;
}

Points points_argument(const py::handle& points) {
  py::array_t<double> a = real_array(points, "points");
  if (a.ndim() < 1 || a.shape(a.ndim() - 1) != 3) {
    throw py::value_error(
        "points must have the shape (m, 3) or (..., 3), x, y and z of each point (its shape is " +
        shape_text(a) + ")");
  }
  Points p;
  p.shape.assign(a.shape(), a.shape() + a.ndim());
  const py::ssize_t m = a.size() / 3;
  // A view where numpy can make one (C or Fortran order alike), a copy where it cannot.
  const py::array_t<double> flat = py::array_t<double>::ensure(a.attr("reshape")(m, 3));
  const auto v = flat.unchecked<2>();
  p.x.resize(static_cast<std::size_t>(m));
  p.y.resize(static_cast<std::size_t>(m));
  p.z.resize(static_cast<std::size_t>(m));
  for (py::ssize_t i = 0; i < m; ++i) {
    p.x[i] = v(i, 0);
    p.y[i] = v(i, 1);
    p.z[i] = v(i, 2);
    for (const double c : {p.x[i], p.y[i], p.z[i]}) {
      // The message's index is only made for a point that fails.
      if (!coordinate_usable(c)) {
        check_coordinate(c, "points[" + index_text(static_cast<std::size_t>(i), p.shape) + "]");
      }
    }
  }
  return p;
}

WindingSet winding_set_argument(const py::handle& segments, const py::handle& currents) {
  const py::array_t<double> s = real_array(segments, "segments");
  if (s.ndim() != 3 || s.shape(1) != 2 || s.shape(2) != 3) {
    throw py::value_error(
        "segments must have the shape (n, 2, 3), the start and end point of each segment (its "
        "shape is " +
        shape_text(s) + ")");
  }
  const py::ssize_t n = s.shape(0);
  const py::array_t<double> c = real_array(currents, "currents");
  if (!(c.ndim() == 0 || (c.ndim() == 1 && c.shape(0) == n))) {
    throw py::value_error("currents must have the shape (" + std::to_string(n) +
                          ",), one current per segment, or be one number for all (its shape is " +
                          shape_text(c) + ")");
  }
  const auto sv = s.unchecked<3>();
  // One current for all segments reads as a row of equal currents.
  const py::array_t<double> row = c.ndim() == 0 ? py::array_t<double>(py::array(c).attr("reshape")(1)) : c;
  const auto cv = row.unchecked<1>();
  const py::ssize_t each = c.ndim() == 0 ? 0 : 1;
  WindingSet windings;
  for (py::ssize_t i = 0; i < n; ++i) {
    const double ends[6] = {sv(i, 0, 0), sv(i, 0, 1), sv(i, 0, 2), sv(i, 1, 0), sv(i, 1, 1), sv(i, 1, 2)};
    for (const double v : ends) {
      // The message is only made for a segment that fails.
      if (!coordinate_usable(v)) check_coordinate(v, "segments[" + std::to_string(i) + "]");
    }
    const Segment segment{ends[0], ends[1], ends[2], ends[3], ends[4], ends[5], cv(i * each)};
    if (!std::isfinite(segment.current)) {
      throw py::value_error(c.ndim() == 0 ? std::string("currents is not a finite number")
                                          : "currents[" + std::to_string(i) + "] is not a finite number");
    }
    windings.append(segment);
  }
  return windings;
}

py::array read_only_view(std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides, const double* data,
                         const py::handle& owner) {
  py::array a(py::dtype::of<double>(), std::move(shape), std::move(strides), data, owner);
  py::detail::array_proxy(a.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return a;
}

py::array segments_view(const WindingSet& windings, const py::handle& owner) {
  constexpr py::ssize_t kRecord = sizeof(Segment);
  constexpr py::ssize_t kPoint = 3 * sizeof(double);
  static_assert(sizeof(Segment) == 7 * sizeof(double), "a Segment is seven doubles, x1 first");
  return read_only_view({static_cast<py::ssize_t>(windings.count()), 2, 3}, {kRecord, kPoint, sizeof(double)},
                        windings.count() > 0 ? &windings[0].x1 : nullptr, owner);
}

py::array currents_view(const WindingSet& windings, const py::handle& owner) {
  return read_only_view({static_cast<py::ssize_t>(windings.count())}, {sizeof(Segment)},
                        windings.count() > 0 ? &windings[0].current : nullptr, owner);
}

}  // namespace expcoil::python
