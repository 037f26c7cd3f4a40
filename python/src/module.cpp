// The module definition: one init function per area, and the one place where the core's exceptions
// become Python's.
#include <cstring>
#include <new>

#include "bindings.hpp"
#include "lib/errors.hpp"
#include "magnet/checks.hpp"

namespace expcoil::python {
namespace {

// The package's exception classes (python/expcoil/_errors.py), handed over when the package is
// imported. Kept for the life of the process: a translator may run until the interpreter ends.
struct ErrorTypes {
  py::object config, input, fft_length, write;
};
ErrorTypes* g_error_types = nullptr;

// Raises `type(*args)`, or `fallback(message)` before the package has handed its classes over.
void raise(const py::object* type, PyObject* fallback, const py::tuple& args, const char* message) {
  if (type == nullptr) {
    PyErr_SetString(fallback, message);
    return;
  }
  const py::object error = (*type)(*args);
  PyErr_SetObject(type->ptr(), error.ptr());
}

void translate(std::exception_ptr p) {
  ErrorTypes* t = g_error_types;
  // Messages may hold bytes of a config.txt or a path that are not UTF-8: text_to_python keeps them.
  try {
    std::rethrow_exception(p);
  } catch (const ConfigError& e) {
    py::list problems;
    for (const std::string& problem : e.problems()) problems.append(text_to_python(problem));
    raise(t ? &t->config : nullptr, PyExc_ValueError, py::make_tuple(problems), e.what());
  } catch (const FftLengthError& e) {
    raise(t ? &t->fft_length : nullptr, PyExc_ValueError,
          py::make_tuple(text_to_python(e.what()), e.length()), e.what());
  } catch (const InputError& e) {
    raise(t ? &t->input : nullptr, PyExc_ValueError, py::make_tuple(text_to_python(e.what())), e.what());
  } catch (const WriteError& e) {
    raise(t ? &t->write : nullptr, PyExc_OSError,
          py::make_tuple(text_to_python(e.what()), text_to_python(e.path())), e.what());
  } catch (const ReadError& e) {
    // OSError(errno, reason, path) is what open() raises: FileNotFoundError for a missing file, and so on.
    const py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        e.error_number(), std::strerror(e.error_number()), text_to_python(e.path()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  } catch (const Error& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  // std::bad_alloc (MemoryError) and the standard library's exceptions go on to pybind11's own
  // translator.
}

}  // namespace

void init_errors(py::module_& m) {
  py::register_exception_translator(translate);
  m.def(
      "_set_error_types",
      [](py::object config, py::object input, py::object fft_length, py::object write) {
        if (g_error_types == nullptr) g_error_types = new ErrorTypes;
        *g_error_types =
            ErrorTypes{std::move(config), std::move(input), std::move(fft_length), std::move(write)};
      },
      "Called once by the package: the classes that ConfigError, InputError, FftLengthError and WriteError "
      "of the core are raised as.");
}

}  // namespace expcoil::python

PYBIND11_MODULE(_expcoil, m) {
  m.doc() = "The C++ core of the expcoil package; use the package `expcoil`, not this module.";
  m.attr("__version__") = EXPCOIL_VERSION;
  expcoil::python::init_errors(m);
  expcoil::python::init_records(m);
  expcoil::python::init_design(m);
  expcoil::python::init_field(m);
  expcoil::python::init_files(m);
  expcoil::python::init_windings(m);
  expcoil::python::init_export(m);
}
