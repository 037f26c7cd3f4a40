// What the binding files of the _expcoil module share: the entry points of each area, argument
// conversion whose messages name the argument, and numpy views of C++ values that keep their owner
// alive. The core (lib/, magnet/) knows nothing of Python; everything Python-specific is here.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "magnet/records.hpp"
#include "magnet/segment.hpp"

namespace expcoil::python {

namespace py = pybind11;

void init_errors(py::module_& m);
void init_records(py::module_& m);
void init_design(py::module_& m);
void init_field(py::module_& m);
void init_files(py::module_& m);
void init_windings(py::module_& m);
void init_export(py::module_& m);

// Makes Python's `cls.__new__(cls)` safe. pybind11's own __new__ makes an instance without a C++ value,
// on which every method reads whatever the memory holds (a crash, garbage sizes). With `make`,
// __new__(cls, ...) returns make(cls, ...), a whole instance (TypeError for missing arguments), and
// __init__ does nothing; with `made_by` (the functions that make the class), __new__ raises TypeError.
void guard_new(const py::handle& cls, const py::handle& make);
void guard_new(const py::handle& cls, const char* made_by);

// A magnet with its parameter set kept alive: the pointer aliases the set's owner.
using MagnetHandle = std::shared_ptr<const MagnetSpec>;

// The windings and the magnet of a Design (a cast error, TypeError, when `design` is not one).
const WindingSet& design_windings(const py::handle& design);
MagnetHandle magnet_of_design(const py::handle& design);

// Text of the core (bytes, as config.txt holds them) as a str: UTF-8, with undecodable bytes as
// surrogate escapes so that they come back unchanged.
py::str text_to_python(const std::string& text);

// More threads than this is a slip of the keyboard, not a plan (the report's --workers has the same bound).
inline constexpr long long kMaxWorkers = 65536;

// None: all processors (0 for the core); otherwise 1 to kMaxWorkers. ValueError naming "workers".
unsigned worker_argument(const py::handle& workers);

// `value` as a float64 array in any memory layout (a copy only when the dtype differs): integer
// and floating dtypes are taken, anything else (bool, complex, text, objects) raises ValueError naming
// `name`.
py::array_t<double> real_array(const py::handle& value, const char* name);

// "(4, 2)", as numpy prints a shape.
std::string shape_text(const py::array& a);

// Beyond this, in metres, squares of coordinate differences, and their products in the field's
// denominator, overflow double precision; the kernel would skip such a term as not a number, silently.
inline constexpr double kMaxCoordinate = 1e75;
inline bool coordinate_usable(double v) { return std::fabs(v) <= kMaxCoordinate; }  // false for NaN too

// ValueError "<where> has a coordinate that ..." unless coordinate_usable(v).
void check_coordinate(double v, const std::string& where);

// The points of an (..., 3) array as three coordinate arrays, every coordinate usable; ValueError naming
// "points" and the point otherwise.
struct Points {
  std::vector<py::ssize_t> shape;  // the argument's shape, which a result takes
  std::vector<double> x, y, z;
};
Points points_argument(const py::handle& points);

// "2, 5": the index of the point at flat position `flat` in the leading dimensions of `shape`, as numpy
// would index it.
std::string index_text(std::size_t flat, const std::vector<py::ssize_t>& shape);

// segments (n, 2, 3) start and end points and currents (n,) or one number for every segment, all
// finite, as a WindingSet in that order. ValueError naming the argument otherwise.
WindingSet winding_set_argument(const py::handle& segments, const py::handle& currents);

// A read-only array over memory that `owner` keeps alive.
py::array read_only_view(std::vector<py::ssize_t> shape, std::vector<py::ssize_t> strides, const double* data,
                         const py::handle& owner);

// segments (n, 2, 3) and currents (n,) of a WindingSet as read-only views kept alive by `owner`.
py::array segments_view(const WindingSet& windings, const py::handle& owner);
py::array currents_view(const WindingSet& windings, const py::handle& owner);

}  // namespace expcoil::python
