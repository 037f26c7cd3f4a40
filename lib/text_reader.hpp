// Reading back the program's own text files (the windings table, the field map, the conductor file):
// line by line, with every problem reported as "<path>: line <n>: <what>" so that a user can find it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace expcoil {

class TextReader {
 public:
  // Opens `path`; throws ReadError when it cannot.
  explicit TextReader(std::string path);
  ~TextReader();
  TextReader(const TextReader&) = delete;
  TextReader& operator=(const TextReader&) = delete;

  // The next line without its line end (LF or CR LF); false at the end of the file. Throws ReadError
  // when the system reports a read failure.
  bool next(std::string& line);

  // The number of the line last returned by next(), from 1.
  std::uint64_t line_number() const { return line_number_; }
  const std::string& path() const { return path_; }

  // Throws InputError "<path>: line <n>: <what>" for the line last returned, or for line `line`.
  [[noreturn]] void fail(const std::string& what) const { fail_at(line_number_, what); }
  [[noreturn]] void fail_at(std::uint64_t line, const std::string& what) const;

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::uint64_t line_number_ = 0;
};

// Parses exactly `count` numbers separated by `separator` (' ' for runs of blanks), blanks allowed
// around each, as the number formatter writes them ("1.5e-005", "-inf", "nan"); locale-independent and
// correctly rounded. Returns false unless the whole text is such a list.
bool parse_numbers(std::string_view text, char separator, double* out, int count);

// `text` without leading and trailing blanks.
std::string_view trim_blanks(std::string_view text);

}  // namespace expcoil
