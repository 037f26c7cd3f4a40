// Reading the program's own text files back (the field map, the windings table, the conductor file): line
// by line in bounded memory, fast enough for field maps far larger than memory, and the number parsing
// every one of those readers shares. A file that cannot be opened or read is a ReadError; a line that is
// not what its format holds is the caller's FileFormatError "<path>:<line>: <reason>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace expcoil {

class LineReader {
 public:
  // Throws ReadError "cannot read <path>: <reason>" (a directory included).
  explicit LineReader(const std::string& path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next line without its LF or CR LF; false at the end of the file. The view stays valid until the
  // next call. Throws ReadError for a read failure, FileFormatError for a line longer than a MiB.
  bool next(std::string_view& line) {
    // A whole line in the buffer, the common case, without a call.
    const char* const data = buffer_.get();
    const auto* lf = static_cast<const char*>(std::memchr(data + begin_, '\n', end_ - begin_));
    if (lf == nullptr) return next_after_fill(line);
    const auto stop = static_cast<std::size_t>(lf - data);
    std::size_t length = stop - begin_;
    if (length > 0 && data[stop - 1] == '\r') --length;
    line = std::string_view(data + begin_, length);
    line_offset_ = buffer_offset_ + begin_;
    ++line_number_;
    begin_ = stop + 1;
    return true;
  }
  // Number (from 1) and byte offset of the line `next` returned last.
  std::int64_t line_number() const { return line_number_; }
  std::uint64_t line_offset() const { return line_offset_; }
  // Makes `next` continue with the line at `offset`, numbered `line_number`.
  void rewind(std::uint64_t offset, std::int64_t line_number);
  // The last line holding anything but blanks, read from the end of the file; empty if none within the
  // last MiB.
  std::string last_line() const;

  const std::string& path() const { return path_; }
  // Throws FileFormatError for the line `next` returned last.
  [[noreturn]] void fail(const std::string& reason) const;

 private:
  bool fill();
  bool next_after_fill(std::string_view& line);

  std::string path_;
  int fd_ = -1;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  bool eof_ = false;
  std::uint64_t buffer_offset_ = 0;  // file offset of buffer_[0]
  std::int64_t line_number_ = 0;
  std::uint64_t line_offset_ = 0;
};

// Parses `count` numbers that make up the whole of `text`, as the number formatter writes them
// ("1.5e-005", "-0", "nan", "inf", "-inf"; a leading '+' is taken too), blanks allowed around each.
// `separator` ',' puts one comma between two numbers, ' ' a run of blanks. Locale-independent and
// correctly rounded; a magnitude beyond the double range reads as +-inf or a signed zero, as strtod
// gives it. Returns false for anything else.
bool parse_numbers(std::string_view text, char separator, double* out, int count);

// `text` without leading and trailing blanks (space, tab, CR).
std::string_view trim_blanks(std::string_view text);
bool is_blank(std::string_view text);

// The line for a message: at most 60 characters, with "..." when cut.
std::string quote_line(std::string_view line);

}  // namespace expcoil
