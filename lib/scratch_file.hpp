#pragma once

// A nameless file for data that does not fit in memory, such as a field map being put into another
// loop order: it lives in a directory chosen by the caller (beside the output it serves, so that it
// uses the disk that output needs anyway), has no name from the start, and disappears when closed,
// however the process ends.

#include <cstddef>
#include <cstdint>
#include <string>

namespace expcoil {

class ScratchFile {
 public:
  // `output` is the file it serves: every failure throws WriteError for it, "cannot write <output>:
  // scratch file in <directory>: <reason>", since that output cannot be written without it.
  ScratchFile(const std::string& directory, const std::string& output);
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  // Both throw that WriteError; reading past what was written is a failure, not zeros.
  void write_at(std::uint64_t offset, const void* data, std::size_t size);
  void read_at(std::uint64_t offset, void* data, std::size_t size) const;

 private:
  [[noreturn]] void fail(int error_number) const;

  std::string directory_;
  std::string output_;
  int fd_ = -1;
};

}  // namespace expcoil
