"""expcoil: the coil windings of exponential-field magnets and their field, from Python.

The program's C++ core, called directly: the same reading and checks of config.txt, the same design,
the same field to the last bit, the same files byte for byte. SI units throughout; arrays are float64
numpy arrays; points and fields have the shape (..., 3) as in magpylib.

>>> import expcoil
>>> config = expcoil.read_config("examples/config.txt")    # or expcoil.Config.from_dict(...)
>>> magnet = config.magnets[0]
>>> d = expcoil.design(magnet)                             # potential, segments, currents
>>> B = expcoil.field(d.segments, d.currents, [[0, -0.05, 0]])   # tesla, shape (1, 3)
>>> fm = expcoil.field_map(d, magnet)                      # the program's field map

``python3 -m expcoil report [DIR]`` writes a design report of every magnet of DIR/config.txt (see
``expcoil.report``).

Functions: read_config, design, field, field_map, read_fieldmap, read_windings, read_conductors,
write_windings, chain_windings, bend_points, coil_mesh. Classes: Config, Magnet, Design, FieldMap,
Conductors, Chains. Errors: ConfigError,
InputError and FftLengthError (ValueError), WriteError (OSError); a file that cannot be read raises
the OSError that open() would; running out of memory raises MemoryError.

Computations release the GIL and run on every processor unless ``workers`` says otherwise; they
cannot be interrupted with Ctrl-C once started.
"""

from ._errors import ConfigError, FftLengthError, InputError, WriteError
from . import _expcoil

_expcoil._set_error_types(ConfigError, InputError, FftLengthError, WriteError)

from ._expcoil import Config, Design, FieldMap, Magnet  # noqa: E402
from ._design import design, field_map, read_config  # noqa: E402
from ._field import field  # noqa: E402
from ._files import Conductors, read_conductors, read_fieldmap, read_windings, write_windings  # noqa: E402
from ._windings import Chains, bend_points, chain_windings, coil_mesh  # noqa: E402
from ._export import ExportFormat, export, export_formats  # noqa: E402

__version__ = _expcoil.__version__

# Shown as expcoil.<name> in help() and tracebacks, wherever they are defined.
for _public in (Config, Magnet, Design, FieldMap, Conductors, Chains, ConfigError, InputError, FftLengthError,
                WriteError, read_config, design, field, field_map, read_fieldmap, read_windings, read_conductors,
                write_windings, chain_windings, bend_points, coil_mesh, ExportFormat, export, export_formats):
    _public.__module__ = __name__
del _public

__all__ = [
    "Chains",
    "Conductors",
    "Config",
    "ConfigError",
    "Design",
    "ExportFormat",
    "FftLengthError",
    "FieldMap",
    "InputError",
    "Magnet",
    "WriteError",
    "bend_points",
    "chain_windings",
    "coil_mesh",
    "design",
    "export",
    "export_formats",
    "field",
    "field_map",
    "read_conductors",
    "read_config",
    "read_fieldmap",
    "read_windings",
    "write_windings",
]
