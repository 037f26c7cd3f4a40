// The failures of the exporters are the library's (lib/errors.hpp): a file that is read and found unfit
// is a FileFormatError (file and line), a file that cannot be written a WriteError, a value handed over
// in memory that a format cannot hold an InputError; windings that cannot be written as asked say which
// segment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "lib/errors.hpp"

namespace expcoil {

// Windings that cannot be written as asked; segment() is the index of a segment at the problem, in the
// order of the set (line segment() + 2 of a windings table).
class WindingsError : public InputError {
 public:
  WindingsError(std::size_t segment, const std::string& reason)
      : InputError("segment " + std::to_string(segment + 1) + ": " + reason),
        segment_(segment),
        reason_(reason) {}
  std::size_t segment() const { return segment_; }
  const std::string& reason() const { return reason_; }

 private:
  std::size_t segment_;
  std::string reason_;
};

}  // namespace expcoil
