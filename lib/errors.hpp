// The errors the library reports. Library code never prints and never ends the process: every failure
// is one of these exceptions (or std::bad_alloc), with a message that names what went wrong, and the
// caller (the command-line program, the Python package) decides how to tell the user.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace expcoil {

// Base of every error the library throws on purpose.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stage was handed input it cannot work with: a value out of its range, a size that does not fit,
// a potential that cannot be contoured. The message names the value.
class InputError : public Error {
 public:
  using Error::Error;
};

// A file that was read and found unfit: "<path>:<line>: <reason>", or "<path>: <reason>" when the
// file as a whole is at fault (line 0).
class FileFormatError : public InputError {
 public:
  FileFormatError(const std::string& path, std::int64_t line, const std::string& reason)
      : InputError(located(path, line, reason)), path_(path), line_(line), reason_(reason) {}
  const std::string& path() const { return path_; }
  std::int64_t line() const { return line_; }
  const std::string& reason() const { return reason_; }

 private:
  // Built by appending: operator+ chains trip a false -Wrestrict in g++ 12 (GCC bug 105651).
  static std::string located(const std::string& path, std::int64_t line, const std::string& reason) {
    std::string text = path;
    if (line > 0) text.append(":").append(std::to_string(line));
    return text.append(": ").append(reason);
  }

  std::string path_;
  std::int64_t line_;
  std::string reason_;
};

// A transform length that is not a power of two.
class FftLengthError : public InputError {
 public:
  explicit FftLengthError(std::uint64_t length)
      : InputError("FFT length " + std::to_string(length) + " is not a power of two"), length_(length) {}
  std::uint64_t length() const { return length_; }

 private:
  std::uint64_t length_;
};

// An output file could not be written: "cannot write <path>: <reason>". Nothing is left under the path
// (an earlier file there stays as it was).
class WriteError : public Error {
 public:
  WriteError(std::string path, const std::string& reason)
      : Error(std::string("cannot write ").append(path).append(": ").append(reason)),
        path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// An input file could not be opened or read; the message reads "cannot read <path>: <reason>", and
// error_number() is the system's errno value for the reason (0 when there is none).
class ReadError : public Error {
 public:
  ReadError(std::string path, int error_number, const std::string& message)
      : Error(message), path_(std::move(path)), error_number_(error_number) {}
  const std::string& path() const { return path_; }
  int error_number() const { return error_number_; }

 private:
  std::string path_;
  int error_number_;
};

// A configuration that cannot be run: every problem found, one message each, naming the file (or the
// front end's source), the magnet and the key.
class ConfigError : public InputError {
 public:
  explicit ConfigError(std::vector<std::string> problems)
      : InputError(problems.empty() ? std::string("configuration error") : problems.front()),
        problems_(std::move(problems)) {}
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::vector<std::string> problems_;
};

}  // namespace expcoil
