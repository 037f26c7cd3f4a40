#include "lib/text_reader.hpp"

#include <locale.h>
#include <stdlib.h>
#include <sys/types.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "lib/errors.hpp"

namespace expcoil {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

[[noreturn]] void throw_read_error(const std::string& path, int error_number) {
  throw ReadError(path, error_number, "cannot read " + path + ": " + std::strerror(error_number));
}

std::string_view trim_front(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  return text;
}

// One number at the start of `text` (after blanks); `text` is left at the first character after it.
bool parse_one(std::string_view& text, double& out) {
  text = trim_front(text);
  const char* begin = text.data();
  const char* const end = begin + text.size();
  // from_chars takes no leading '+'; the formatter writes none, but a hand-edited file may have one.
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && (*begin == '+' || *begin == '-')) return false;
  }
  const std::from_chars_result r = std::from_chars(begin, end, out);
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves `out` alone there; strtod's answer (+-inf, or 0 with its sign) is the value,
    // in the "C" locale whatever the process has set.
    static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    out = ::strtod_l(std::string(begin, r.ptr).c_str(), nullptr, c_locale);
  } else if (r.ec != std::errc()) {
    return false;
  }
  text = std::string_view(r.ptr, static_cast<std::size_t>(end - r.ptr));
  return true;
}

}  // namespace

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

TextReader::TextReader(std::string path) : path_(std::move(path)) {
  file_ = std::fopen(path_.c_str(), "rb");
  if (file_ == nullptr) throw_read_error(path_, errno);
}

TextReader::~TextReader() {
  std::free(buffer_);
  if (file_ != nullptr) std::fclose(file_);
}

bool TextReader::next(std::string& line) {
  errno = 0;
  const ssize_t got = ::getline(&buffer_, &capacity_, file_);
  if (got < 0) {
    if (std::ferror(file_)) throw_read_error(path_, errno != 0 ? errno : EIO);
    if (errno == ENOMEM) throw std::bad_alloc();
    return false;
  }
  std::size_t n = static_cast<std::size_t>(got);
  if (n > 0 && buffer_[n - 1] == '\n') --n;
  if (n > 0 && buffer_[n - 1] == '\r') --n;
  line.assign(buffer_, n);
  ++line_number_;
  return true;
}

void TextReader::fail_at(std::uint64_t line, const std::string& what) const {
  throw InputError(path_ + ": line " + std::to_string(line) + ": " + what);
}

bool parse_numbers(std::string_view text, char separator, double* out, int count) {
  for (int i = 0; i < count; ++i) {
    if (!parse_one(text, out[i])) return false;
    if (i + 1 == count) break;
    if (separator == ' ') {
      if (text.empty() || !is_blank(text.front())) return false;
    } else {
      text = trim_front(text);
      if (text.empty() || text.front() != separator) return false;
      text.remove_prefix(1);
    }
  }
  return trim_front(text).empty();
}

}  // namespace expcoil
