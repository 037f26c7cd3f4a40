#include "magnet/formats/csv_lines.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <system_error>

#include "magnet/formats/export_error.hpp"

namespace expcoil {
namespace {

constexpr std::size_t kBufferSize = std::size_t{1} << 20;

std::string system_reason(int error_number) { return std::generic_category().message(error_number); }

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

}  // namespace

CsvLines::CsvLines(const std::string& path)
    : path_(path), buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw FileFormatError(path, 0, "cannot read: " + system_reason(errno));
  struct stat info;
  if (::fstat(fd_, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd_);
    throw FileFormatError(path, 0, "cannot read: " + system_reason(EISDIR));
  }
}

CsvLines::~CsvLines() {
  if (fd_ >= 0) ::close(fd_);
}

bool CsvLines::fill() {
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
  if (n < 0) throw FileFormatError(path_, 0, "cannot read: " + system_reason(errno));
  if (n == 0) eof_ = true;
  end_ += static_cast<std::size_t>(n);
  return n > 0;
}

bool CsvLines::next(std::string_view& line) {
  std::size_t searched = begin_;
  while (true) {
    const char* start = buffer_.get() + searched;
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', end_ - searched));
    if (lf != nullptr) {
      const auto stop = static_cast<std::size_t>(lf - buffer_.get());
      std::size_t length = stop - begin_;
      if (length > 0 && buffer_[stop - 1] == '\r') --length;
      line = std::string_view(buffer_.get() + begin_, length);
      line_offset_ = buffer_offset_ + begin_;
      ++line_number_;
      begin_ = stop + 1;
      return true;
    }
    searched = end_ - begin_;  // offset from begin_, which fill() moves to 0
    if (!fill()) {
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
  }
}

void CsvLines::rewind(std::uint64_t offset, std::int64_t line_number) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
    throw FileFormatError(path_, 0, "cannot read: " + system_reason(errno));
  begin_ = end_ = 0;
  eof_ = false;
  buffer_offset_ = offset;
  line_number_ = line_number - 1;
}

std::string CsvLines::last_line() const {
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

bool parse_csv_numbers(std::string_view line, double* out, int count) {
  const char* p = line.data();
  const char* const end = p + line.size();
  for (int n = 0; n < count; ++n) {
    while (p < end && blank(*p)) ++p;
    if (n > 0) {
      if (p == end || *p != ',') return false;
      ++p;
      while (p < end && blank(*p)) ++p;
    }
    if (p < end && *p == '+') ++p;
    const auto result = std::from_chars(p, end, out[n]);
    if (result.ec != std::errc()) return false;
    p = result.ptr;
  }
  while (p < end && blank(*p)) ++p;
  return p == end;
}

std::string quote_line(std::string_view line) {
  std::string text = "'";
  text.append(line.substr(0, 60));
  text.append(line.size() > 60 ? "...'" : "'");
  return text;
}

bool is_blank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return blank(c); });
}

}  // namespace expcoil
