// Line-by-line reading of the program's CSV files in bounded memory, with the number parsing both
// readers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace expcoil {

class CsvLines {
 public:
  // Throws FileFormatError(path, 0, "cannot read: <reason>").
  explicit CsvLines(const std::string& path);
  ~CsvLines();
  CsvLines(const CsvLines&) = delete;
  CsvLines& operator=(const CsvLines&) = delete;

  // The next line without its LF or CR LF; false at the end of the file. Throws InputError for a read
  // failure or a line longer than a MiB.
  bool next(std::string_view& line);
  // Number (from 1) and byte offset of the line `next` returned last.
  std::int64_t line_number() const { return line_number_; }
  std::uint64_t line_offset() const { return line_offset_; }
  // Makes `next` continue with the line at `offset`, numbered `line_number`.
  void rewind(std::uint64_t offset, std::int64_t line_number);
  // The last line holding anything but blanks, read from the end of the file; empty if none within the
  // last MiB.
  std::string last_line() const;

  const std::string& path() const { return path_; }

 private:
  bool fill();

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

// Parses `count` numbers separated by commas (blanks around them allowed) that make up the whole line.
// Returns false for anything else.
bool parse_csv_numbers(std::string_view line, double* out, int count);

// The line for a message: at most 60 characters, with "..." when cut.
std::string quote_line(std::string_view line);

bool is_blank(std::string_view line);

}  // namespace expcoil
