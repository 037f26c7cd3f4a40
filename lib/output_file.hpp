#pragma once

// The one way every output file is written.
//
// Text goes to a temporary file beside the target ("expcoil-XXXXXXXX.tmp" in the target's directory) and
// is renamed onto the target name by commit(), so a run that is killed or fails never leaves a truncated
// file under the final name, and an existing target is replaced atomically (a symbolic link at the target
// name is replaced, not written through). A target that is a device, a FIFO or a socket (or a link to one)
// is refused, and left as it is. A signal handler can remove every live temporary with
// output_file_remove_temporaries().
// Lines end in CR LF, written explicitly by line_end(); nothing is translated.
//
// Appends are buffered and never report failure themselves: the first failure is latched, later appends
// are discarded, and commit() returns false with error() naming the target and the first cause.

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "lib/number_format.hpp"

namespace expcoil {

class OutputFile {
 public:
  // Creates the temporary file at once; failure is reported by commit().
  explicit OutputFile(std::string path);
  // Removes the temporary unless commit() renamed it into place; an existing target stays untouched.
  ~OutputFile();

  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  OutputFile& text(std::string_view s) {
    if (s.size() > static_cast<std::size_t>(end_ - pos_)) return append_large(s);
    std::memcpy(pos_, s.data(), s.size());
    pos_ += s.size();
    return *this;
  }

  // printf "%.<precision>lg" with a three-digit exponent; see number_format.hpp.
  OutputFile& general(double value, int precision) {
    reserve_number();
    pos_ = format_general(pos_, value, precision);
    return *this;
  }

  // printf "%lf".
  OutputFile& fixed(double value) {
    reserve_number();
    pos_ = format_fixed(pos_, value);
    return *this;
  }

  OutputFile& line_end() { return text("\r\n"); }

  // Writes what is buffered, closes and renames the temporary onto the target. Returns false on any
  // failure so far, after which the temporary is gone and the target untouched. Appends after commit()
  // are discarded; calling commit() again returns the same result.
  bool commit();
  // commit(), throwing WriteError (path and reason) on failure.
  void commit_or_throw();
  // Throws that WriteError at once when a failure is latched: for a writer that should stop early.
  void throw_if_failed() const;

  bool ok() const { return reason_.empty(); }
  // "cannot write <path>: <reason>" for the first failure; empty while all is well.
  std::string error() const { return ok() ? std::string() : "cannot write " + path_ + ": " + reason_; }
  // The system's reason for the first failure; empty while all is well.
  const std::string& reason() const { return reason_; }
  const std::string& path() const { return path_; }
  // Where the bytes go until commit(): for a library that writes the file by name itself (HDF5). Nothing
  // may be appended through this object then; commit() still does the rename. Empty once creation failed.
  const std::string& temporary_path() const { return temporary_path_; }

 private:
  void reserve_number() {
    if (static_cast<std::size_t>(end_ - pos_) < kMaxNumberChars) flush();
  }
  OutputFile& append_large(std::string_view s);
  // Empties the buffer into the file, or discards it once a failure is latched.
  void flush();
  void write_all(const char* data, std::size_t size);
  void fail(int error_number);
  void remove_temporary();

  std::string path_;
  std::string temporary_path_;                         // empty once renamed or removed
  std::atomic<const char*>* registry_slot_ = nullptr;  // where temporary_path_ is registered, if anywhere
  std::string reason_;
  int fd_ = -1;
  bool committed_ = false;
  std::unique_ptr<char[]> buffer_;
  char* pos_ = nullptr;
  char* end_ = nullptr;
};

// Unlinks the temporary file of every OutputFile not yet committed or destroyed, in any thread.
// Async-signal-safe (no allocation, no lock; only atomic loads and unlink()), for a handler of a signal
// that ends the process; the objects themselves are left as they are.
void output_file_remove_temporaries() noexcept;

// `text` as the file at `path`, through an OutputFile: throws its WriteError on failure.
void write_text_file(const std::string& path, std::string_view text);

}  // namespace expcoil
