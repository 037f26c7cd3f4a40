// Config and Magnet: the records of magnet/records.hpp as Python sees them, read-only, in SI units,
// under the README's key names; read from a config.txt or made from Python values, and in both cases
// judged by the program's own checks.
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bindings.hpp"
#include "lib/errors.hpp"
#include "magnet/checks.hpp"

namespace expcoil::python {
namespace {

// The keys of one scope, in the table's order (the order of to_dict()).
std::vector<const KeyInfo*> keys_of(KeyScope scope) {
  std::vector<const KeyInfo*> keys;
  for (const KeyInfo& k : config_keys()) {
    if (k.scope == scope) keys.push_back(&k);
  }
  return keys;
}

const std::vector<const KeyInfo*>& set_keys() {
  static const std::vector<const KeyInfo*> keys = keys_of(KeyScope::kParameters);
  return keys;
}

const std::vector<const KeyInfo*>& magnet_keys() {
  static const std::vector<const KeyInfo*> keys = keys_of(KeyScope::kMagnet);
  return keys;
}

// The attribute's docstring: the key's description and its SI unit.
std::string key_doc(const KeyInfo& k) {
  std::string doc = k.doc;
  doc[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(doc[0])));
  if (*k.si_unit != '\0') doc.append(", ").append(k.si_unit);
  return doc.append(".");
}

// The checks' messages name config.txt's keys; a Config made from dicts names the dicts' keys.
std::string python_key(const KeyInfo& key) { return key.python; }

bool text_from_python(const py::handle& value, std::string& out) {
  if (!PyUnicode_Check(value.ptr())) return false;
  PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
  if (bytes == nullptr) {
    PyErr_Clear();
    return false;
  }
  out.assign(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
  Py_DECREF(bytes);
  return true;
}

bool is_bool(const py::handle& value) {
  static const py::handle numpy_bool = py::object(py::module_::import("numpy").attr("bool_")).release();
  return PyBool_Check(value.ptr()) || py::isinstance(value, numpy_bool);
}

// A real number: int, float, numpy scalars and anything else with __float__, but neither text (which
// float() would parse) nor bools.
bool real_from_python(const py::handle& value, double& out) {
  if (is_bool(value) || PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr())) return false;
  // A complex number's __float__ drops its imaginary part, and an array's reads its one element (text
  // included): only real numbers, and arrays of one real number, are taken.
  static const py::handle numpy_generic = py::object(py::module_::import("numpy").attr("generic")).release();
  static const py::handle numpy_real = py::make_tuple(py::module_::import("numpy").attr("integer"),
                                                      py::module_::import("numpy").attr("floating"))
                                           .release();
  if (py::isinstance<py::array>(value)) {
    const auto a = py::reinterpret_borrow<py::array>(value);
    const char kind = a.dtype().kind();
    if (a.ndim() != 0 || (kind != 'i' && kind != 'u' && kind != 'f')) return false;
  } else if (PyComplex_Check(value.ptr()) ||
             (py::isinstance(value, numpy_generic) && !PyObject_IsInstance(value.ptr(), numpy_real.ptr()))) {
    return false;
  }
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}

bool integer_from_python(const py::handle& value, long long& out) {
  if (is_bool(value)) return false;
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  out = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  return overflow == 0 && !(out == -1 && PyErr_Occurred());
}

std::string value_text(const py::handle& value) {
  std::string text = py::repr(value).cast<std::string>();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

// Converts `value` into the field; returns what is wrong with it, or "" when it fits.
std::string assign(KeyKind kind, const RecordField& field, const py::handle& value) {
  const std::string it_is = " (it is " + value_text(value) + ")";
  switch (kind) {
    case KeyKind::kText:
      return text_from_python(value, *std::get<std::string*>(field)) ? "" : "must be a str" + it_is;
    case KeyKind::kReal:
      return real_from_python(value, *std::get<double*>(field)) ? "" : "must be a real number" + it_is;
    case KeyKind::kMeshes: {
      long long n = 0;
      if (!integer_from_python(value, n) || n < INT32_MIN || n > INT32_MAX) {
        return "must be an integer of at most 32 bits" + it_is;
      }
      std::int32_t* pair = std::get<std::int32_t*>(field);
      pair[0] = pair[1] = static_cast<std::int32_t>(n);
      return "";
    }
    case KeyKind::kSwitch: {
      long long n = 0;
      if (is_bool(value)) {
        n = PyObject_IsTrue(value.ptr());
      } else if (!integer_from_python(value, n) || (n != 0 && n != 1)) {
        return "must be True or False" + it_is;
      }
      *std::get<bool*>(field) = n != 0;
      return "";
    }
    case KeyKind::kReals: {
      std::vector<double>& out = *std::get<std::vector<double>*>(field);
      const std::string problem = "must be a list of real numbers" + it_is;
      // A set or a dict would give its items in hash order: the coefficients' order is their meaning.
      static const py::handle sequence =
          py::object(py::module_::import("collections.abc").attr("Sequence")).release();
      if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) ||
          !(py::isinstance(value, sequence) ||
            (py::isinstance<py::array>(value) && py::reinterpret_borrow<py::array>(value).ndim() == 1))) {
        return problem;
      }
      out.clear();
      for (const py::handle item : value) {
        double v = 0.0;
        if (!real_from_python(item, v)) return problem;
        out.push_back(v);
      }
      return "";
    }
  }
  return "cannot be converted";
}

py::object value_of(KeyKind kind, const RecordField& field) {
  switch (kind) {
    case KeyKind::kText:
      return text_to_python(*std::get<std::string*>(field));
    case KeyKind::kReal:
      return py::float_(*std::get<double*>(field));
    case KeyKind::kMeshes:
      return py::int_(std::get<std::int32_t*>(field)[0]);
    case KeyKind::kSwitch:
      return py::bool_(*std::get<bool*>(field));
    case KeyKind::kReals: {
      py::list list;
      for (double v : *std::get<std::vector<double>*>(field)) list.append(v);
      return list;
    }
  }
  return py::none();
}

// Fills `record` from the mapping `values`, one problem per missing, unknown or unfitting key, each
// starting with `prefix`.
template <class Record>
void fill_record(const std::string& prefix, const py::handle& values, const char* what,
                 const std::vector<const KeyInfo*>& keys, Record& record,
                 std::vector<std::string>& problems) {
  static const py::handle mapping =
      py::object(py::module_::import("collections.abc").attr("Mapping")).release();
  if (!py::isinstance(values, mapping)) {
    problems.push_back(prefix + what + " must be a dict (it is " + value_text(values) + ")");
    return;
  }
  for (const py::handle key : values) {
    std::string text;
    bool known = false;
    if (text_from_python(key, text)) {
      for (const KeyInfo* k : keys) known = known || text == k->python;
    }
    if (!known) problems.push_back(prefix + "unknown key " + value_text(key));
  }
  for (const KeyInfo* k : keys) {
    const py::str name(k->python);
    if (!values.attr("__contains__")(name).cast<bool>()) {
      if (!k->optional) problems.push_back(prefix + "no \"" + k->python + "\" key");
      continue;
    }
    const std::string problem = assign(k->kind, record_field(record, k->id), values[name]);
    if (!problem.empty()) problems.push_back(prefix + '"' + k->python + "\" " + problem);
  }
}

template <class Record>
py::object value_of(const Record& record, const KeyInfo& k) {
  return value_of(k.kind, record_field(const_cast<Record&>(record), k.id));
}

template <class Record>
py::dict to_dict(const Record& record, const std::vector<const KeyInfo*>& keys) {
  py::dict d;
  for (const KeyInfo* k : keys) d[k->python] = value_of(record, *k);
  return d;
}

const char* const kSource = "Config.from_dict";

std::shared_ptr<ParameterSet> config_from_dict(const py::handle& params, const py::handle& magnets) {
  const std::string source = std::string(kSource) + ": ";
  std::vector<std::string> problems;
  auto set = std::make_shared<ParameterSet>();
  fill_record(source, params, "params", set_keys(), static_cast<Parameters&>(*set), problems);
  const bool is_list = py::isinstance<py::list>(magnets) || py::isinstance<py::tuple>(magnets);
  if (!is_list) {
    problems.push_back(source + "magnets must be a list of dicts, one per magnet (it is " +
                       value_text(magnets) + ")");
  } else {
    const py::sequence list = py::reinterpret_borrow<py::sequence>(magnets);
    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i) {
      const py::object values = list[i];
      // Messages name the magnet as the program does, or by its place when it has no usable name.
      std::string prefix = source + "magnet " + std::to_string(i + 1) + " of " + std::to_string(count) + ": ";
      std::string name;
      if (py::isinstance<py::dict>(values) && values.attr("__contains__")("name").cast<bool>() &&
          text_from_python(values["name"], name)) {
        prefix = source + "magnet \"" + name + "\": ";
      }
      MagnetSpec magnet;
      fill_record(prefix, values, "each magnet", magnet_keys(), magnet, problems);
      finish_magnet(magnet);
      set->magnets.append(std::move(magnet));
    }
  }
  for (MagnetSpec& magnet : set->magnets) magnet.params = *set;
  if (problems.empty()) problems = check_parameter_values(kSource, *set, python_key);
  if (!problems.empty()) throw ConfigError(std::move(problems));
  return set;
}

std::string format_repr(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

std::string magnet_repr(const MagnetSpec& m) {
  return "<expcoil.Magnet " + value_text(text_to_python(m.name)) + ": bmax " + format_repr(m.bmax) +
         " T, length " + format_repr(m.length) + " m, angle " + format_repr(m.angle) + " rad>";
}

}  // namespace

void init_records(py::module_& m) {
  py::class_<MagnetSpec, std::shared_ptr<MagnetSpec>> magnet(m, "Magnet", R"doc(
One magnet of a Config, in SI units. Read-only: make a changed one with Config.from_dict, e.g.
``params, magnets = config.to_dict(); magnets[0]["bmax"] = 1.0; expcoil.Config.from_dict(params, magnets)``.

Attributes are the README's magnet keys in lower case, in SI units: name, bmax (T), length (m),
angle (rad), winding_centre_to_midplane (m), winding_return_half_length (m), area_per_winding (m^2),
winding_current_density (A/m^2), winding_thickness (m), polynomial_adjustment (list); and
winding_current (A), the current of every winding.
)doc");
  for (const KeyInfo* k : magnet_keys()) {
    magnet.def_property_readonly(
        k->python, [k](const MagnetSpec& record) { return value_of(record, *k); }, key_doc(*k).c_str());
  }
  magnet.def_property_readonly(
      "winding_current", &MagnetSpec::winding_current,
      "The current every winding carries, A: winding_current_density * area_per_winding.");
  magnet.def(
      "to_dict", [](const MagnetSpec& record) { return to_dict(record, magnet_keys()); },
      "The magnet's keys and values, as Config.from_dict takes them (dict).");
  magnet.def("__repr__", &magnet_repr);

  py::class_<ParameterSet, std::shared_ptr<ParameterSet>> config(m, "Config", R"doc(
A parameter set and its magnets, in SI units, checked as the program checks config.txt.

Made by ``expcoil.read_config(path)`` from a config.txt, or by ``Config.from_dict(params, magnets)``
from Python values. Read-only.

Attributes are the README's parameter keys in lower case, in SI units: name, scaling_k (1/m),
good_field_height, vertical_end_height, vertical_middle_join_height (m), vertical_middle_asymmetry,
vertical_middle_ramp, vertical_end_asymmetry, vertical_end_ramp, coil_meshes, fft_meshes (int),
use_vertical_fft_inversion (bool), fieldmap_transverse_cell, fieldmap_vertical_cell,
fieldmap_longitudinal_cell, fieldmap_transverse_extension, fieldmap_vertical_extension,
fieldmap_longitudinal_extension (m); and magnets, the list of Magnet in file order.
)doc");
  for (const KeyInfo* k : set_keys()) {
    config.def_property_readonly(
        k->python, [k](const ParameterSet& set) { return value_of(static_cast<const Parameters&>(set), *k); },
        key_doc(*k).c_str());
  }
  config.def_property_readonly(
      "magnets",
      [](const std::shared_ptr<ParameterSet>& set) {
        py::list list;
        for (MagnetSpec& magnet : set->magnets) list.append(std::shared_ptr<MagnetSpec>(set, &magnet));
        return list;
      },
      "The magnets, in the order of the file or of the list given to from_dict (list of Magnet).");
  config.def_static("from_dict", &config_from_dict, py::arg("params"), py::arg("magnets"), R"doc(
A Config from Python values in SI units, through the checks the program runs on config.txt.

Parameters
----------
params : dict
    Every parameter key (see ``help(expcoil.Config)``), e.g. ``{"name": "Example", "scaling_k": 2.5,
    "good_field_height": 0.15, ..., "coil_meshes": 64, "fft_meshes": 128,
    "use_vertical_fft_inversion": True, ...}``.
magnets : list of dict
    One dict per magnet with every magnet key (see ``help(expcoil.Magnet)``), e.g. ``{"name": "M",
    "bmax": 0.8, "length": 0.8, "angle": 0.0, ..., "polynomial_adjustment": [0.0]}``.

Returns
-------
Config

Raises
------
ConfigError
    With ``.problems``, one message per problem: a missing or unknown key, a value of the wrong type,
    and every value the program would reject, each naming the key and the magnet.

Examples
--------
>>> params, magnets = expcoil.read_config("examples/config.txt").to_dict()
>>> magnets[0]["bmax"] = 1.0
>>> stronger = expcoil.Config.from_dict(params, magnets[:1])
)doc");
  config.def(
      "to_dict",
      [](const ParameterSet& set) {
        py::list magnets;
        for (const MagnetSpec& magnet : set.magnets) magnets.append(to_dict(magnet, magnet_keys()));
        return py::make_tuple(to_dict(static_cast<const Parameters&>(set), set_keys()), magnets);
      },
      "(params, magnets): the values as Config.from_dict takes them; Config.from_dict(*c.to_dict()) is "
      "a Config equal to c.");
  config.def("__repr__", [](const ParameterSet& set) {
    // Appended piece by piece: operator+ on a literal trips a false -Wrestrict in g++ 12 (GCC bug 105651).
    std::string text = "<expcoil.Config ";
    text.append(value_text(text_to_python(set.name))).append(": ");
    text.append(std::to_string(set.magnet_count())).append(" magnet(s)");
    for (const MagnetSpec& magnet : set.magnets)
      text.append(" ").append(value_text(text_to_python(magnet.name)));
    return text.append(">");
  });

  guard_new(magnet, "Config.magnets");
  guard_new(config, "expcoil.read_config or Config.from_dict");
  m.def(
      "read_config",
      [](const std::filesystem::path& path) {
        std::vector<std::string> warnings;
        auto set = std::make_shared<ParameterSet>(parameter_set_load(path.string(), &warnings));
        // What the program prints on standard error, as Python's warnings (stacklevel 2: the caller).
        if (!warnings.empty()) {
          const py::object warn = py::module_::import("warnings").attr("warn");
          for (const std::string& warning : warnings)
            warn(text_to_python(warning), py::reinterpret_borrow<py::object>(PyExc_UserWarning), 2);
        }
        return set;
      },
      py::arg("path"), "See expcoil.read_config.");
}

}  // namespace expcoil::python
