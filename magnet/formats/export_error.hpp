// The failures of the exporters. A file that is read and found unfit names the file and line; a file
// that cannot be written names that file. Problems of values handed over in memory (a field map with a
// NaN, windings that do not close) are std::invalid_argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace expcoil {

class ExportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// what(): "<path>:<line>: <reason>", or "<path>: <reason>" for line 0 (the file as a whole).
class InputError : public ExportError {
 public:
  InputError(const std::string& path, std::int64_t line, const std::string& reason);
  const std::string& path() const { return path_; }
  std::int64_t line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string path_;
  std::int64_t line_;
  std::string reason_;
};

// what(): "cannot write <path>: <reason>". No file is left under <path> (an earlier one stays).
class WriteError : public ExportError {
 public:
  WriteError(const std::string& path, const std::string& reason);
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Windings that cannot be written as asked; segment() is the index of a segment at the problem, in the
// order of the set (line segment() + 2 of a windings table).
class WindingsError : public std::invalid_argument {
 public:
  WindingsError(std::size_t segment, const std::string& reason)
      : std::invalid_argument("segment " + std::to_string(segment + 1) + ": " + reason),
        segment_(segment),
        reason_(reason) {}
  std::size_t segment() const { return segment_; }
  const std::string& reason() const { return reason_; }

 private:
  std::size_t segment_;
  std::string reason_;
};

}  // namespace expcoil
