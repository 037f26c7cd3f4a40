// The input of an export from the program's own files, opened once.
//
// A regular file is read where it is (the field map reader seeks: it reads the last row first, for the
// grid's size). Anything else (a pipe such as <(cat map.csv), a FIFO, a terminal) is read to its end
// once and copied into a temporary file beside the output, which the readers then take; like every
// temporary of the program, a signal that ends the process removes it. An input that delivers nothing
// within `wait` (a FIFO that nobody opens for writing) is refused instead of waited for forever.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "io/program/field_map_csv_reader.hpp"
#include "lib/output_file.hpp"

namespace expcoil {

class ExportInput {
 public:
  static constexpr std::chrono::milliseconds kWait{5000};

  // `beside`: a path whose directory takes the copy (the output's). Throws ReadError (cannot be opened
  // or read, a directory, nothing within `wait`), WriteError for `beside` (the copy cannot be written)
  // and FileFormatError (neither of the program's tables).
  ExportInput(const std::string& path, const std::string& beside, std::chrono::milliseconds wait = kWait);
  ~ExportInput();
  ExportInput(const ExportInput&) = delete;
  ExportInput& operator=(const ExportInput&) = delete;

  // As the caller named it, for messages.
  const std::string& path() const { return path_; }
  // What the readers open: path() or its copy.
  const std::string& file() const { return copy_ ? copy_->temporary_path() : path_; }
  CsvKind kind() const { return kind_; }

  // Inside a catch block: rethrows the FileFormatError or ReadError being handled, if it is about
  // file(), as the same error about path(); anything else as it is.
  [[noreturn]] void rethrow() const;

 private:
  void copy(int fd, std::chrono::milliseconds wait);

  std::string path_;
  std::unique_ptr<OutputFile> copy_;  // never committed: its temporary is the copy
  CsvKind kind_ = CsvKind::field_map;
};

}  // namespace expcoil
