#include "lib/line_reader.hpp"

#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "lib/errors.hpp"

namespace expcoil {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

[[noreturn]] void throw_read_error(const std::string& path, int error_number) {
  throw ReadError(path, error_number,
                  "cannot read " + path + ": " + std::generic_category().message(error_number));
}

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A number beyond the double range, which from_chars does not convert: strtod's answer (+-inf, a
// subnormal or 0 with its sign), in the "C" locale whatever the process has set.
[[gnu::noinline, gnu::cold]] double out_of_range(const char* begin, const char* end) {
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
  return ::strtod_l(std::string(begin, end).c_str(), nullptr, c_locale);
}

}  // namespace

LineReader::LineReader(const std::string& path)
    : path_(path), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw_read_error(path, errno);
  struct stat info;
  if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd_);
    throw_read_error(path, EISDIR);
  }
}

LineReader::~LineReader() {
  if (fd_ >= 0) ::close(fd_);
}

void LineReader::fail(const std::string& reason) const { throw FileFormatError(path_, line_number_, reason); }

bool LineReader::fill() {
  if (eof_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    buffer_offset_ += begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == kBufferSize) throw FileFormatError(path_, line_number_ + 1, "a line is longer than a MiB");
  ssize_t n;
  do {
    n = ::read(fd_, buffer_.get() + end_, kBufferSize - end_);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw_read_error(path_, errno);
  if (n == 0) eof_ = true;
  end_ += static_cast<std::size_t>(n);
  return n > 0;
}

bool LineReader::next_after_fill(std::string_view& line) {
  std::size_t searched = end_ - begin_;  // bytes after begin_ known to hold no LF
  while (fill()) {
    // fill() has moved the unread bytes to the start of the buffer.
    const auto* lf = static_cast<const char*>(std::memchr(buffer_.get() + searched, '\n', end_ - searched));
    if (lf != nullptr) return next(line);
    searched = end_;
  }
  if (begin_ == end_) return false;
  // A last line without a line end.
  std::size_t length = end_ - begin_;
  if (buffer_[end_ - 1] == '\r') --length;
  line = std::string_view(buffer_.get() + begin_, length);
  line_offset_ = buffer_offset_ + begin_;
  ++line_number_;
  begin_ = end_;
  return true;
}

void LineReader::rewind(std::uint64_t offset, std::int64_t line_number) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) throw_read_error(path_, errno);
  begin_ = end_ = 0;
  eof_ = false;
  buffer_offset_ = offset;
  line_number_ = line_number - 1;
}

std::string LineReader::last_line() const {
  struct stat info;
  if (::fstat(fd_, &info) != 0 || info.st_size <= 0) return {};
  const auto size = static_cast<std::uint64_t>(info.st_size);
  const std::uint64_t tail = std::min<std::uint64_t>(size, kBufferSize);
  std::string text(tail, '\0');
  std::size_t got = 0;
  while (got < tail) {
    const ssize_t n = ::pread(fd_, text.data() + got, tail - got, static_cast<off_t>(size - tail + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    got += static_cast<std::size_t>(n);
  }
  std::size_t end = text.size();
  while (end > 0 && (blank(text[end - 1]) || text[end - 1] == '\n')) --end;
  if (end == 0) return {};
  const std::size_t lf = text.rfind('\n', end - 1);
  if (lf == std::string::npos && tail < size) return {};
  const std::size_t begin = lf == std::string::npos ? 0 : lf + 1;
  return text.substr(begin, end - begin);
}

namespace {

// parse_numbers with the separator known at compile time: the field map's rows go through here at
// hundreds of MB/s.
template <bool kBlankSeparated>
bool parse_list(std::string_view text, char separator, double* out, int count) {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (int n = 0; n < count; ++n) {
    const char* const start = p;
    while (p < end && blank(*p)) ++p;
    if (n > 0) {
      if constexpr (kBlankSeparated) {
        if (p == start) return false;
      } else {
        if (p == end || *p != separator) return false;
        ++p;
        while (p < end && blank(*p)) ++p;
      }
    }
    // from_chars takes no leading '+'; the formatter writes none, but a hand-edited file may have one.
    if (p < end && *p == '+') {
      ++p;
      if (p < end && *p == '-') return false;
    }
    const std::from_chars_result r = std::from_chars(p, end, out[n]);
    if (r.ec != std::errc()) [[unlikely]] {
      if (r.ec != std::errc::result_out_of_range) return false;
      out[n] = out_of_range(p, r.ptr);
    }
    p = r.ptr;
  }
  while (p < end && blank(*p)) ++p;
  return p == end;
}

}  // namespace

bool parse_numbers(std::string_view text, char separator, double* out, int count) {
  return separator == ' ' ? parse_list<true>(text, separator, out, count)
                          : parse_list<false>(text, separator, out, count);
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool is_blank(std::string_view text) { return std::all_of(text.begin(), text.end(), blank); }

std::string quote_line(std::string_view line) {
  std::string text = "'";
  text.append(line.substr(0, 60));
  text.append(line.size() > 60 ? "...'" : "'");
  return text;
}

}  // namespace expcoil
