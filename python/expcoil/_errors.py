"""The exceptions of expcoil. Every error of the C++ core reaches Python as one of these (or as
MemoryError when memory runs out); none ends the interpreter."""


class ConfigError(ValueError):
    """A configuration the program would reject.

    Raised by ``read_config`` and ``Config.from_dict``. ``problems`` is the list of messages, one per
    problem, each naming the file (or ``Config.from_dict``), the key and the magnet: for a file,
    exactly the lines the program prints. ``str(error)`` is the messages, one per line.
    """

    def __init__(self, problems):
        self.problems = [str(p) for p in problems]
        super().__init__(self.problems)

    def __str__(self):
        return "\n".join(self.problems)


class InputError(ValueError):
    """A stage of the computation cannot work with its input: a potential that cannot be contoured,
    a target that overflows double precision, a field that overflows, a file that is not in the
    format its reader reads ("<path>:<line>: <reason>")."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


class FftLengthError(InputError):
    """An FFT mesh size that is not a power of two. ``length`` is that size."""

    def __init__(self, message, length=None):
        super().__init__(message, length)
        self.length = length


class WriteError(OSError):
    """An output file could not be written: "cannot write <path>: <reason>". ``filename`` is the
    path; nothing is left under it (a file that was there before stays as it was)."""

    def __init__(self, message, filename=None):
        super().__init__(message)
        self.filename = filename

    def __str__(self):
        return str(self.args[0]) if self.args else ""

    def __reduce__(self):
        return (type(self), (str(self), self.filename))
