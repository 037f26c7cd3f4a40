#include "lib/output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <system_error>
#include <utility>

namespace expcoil {
namespace {

// Large enough that ::write is called rarely (a field map line is ~120 bytes), small enough not to matter
// when several files are open.
constexpr std::size_t kBufferSize = std::size_t{1} << 20;

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

// Name distinct across processes (pid, clock) and within one (counter); collisions are retried anyway.
std::string temporary_name(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  std::uint64_t bits = mix(static_cast<std::uint64_t>(::getpid()) ^ mix(counter.fetch_add(1)) ^
                           mix(static_cast<std::uint64_t>(now)));
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = path + '.';
  for (int i = 0; i < 8; ++i) {
    name += kAlphabet[bits % 36];
    bits /= 36;
  }
  return name;
}

}  // namespace

OutputFile::OutputFile(std::string path)
    : path_(std::move(path)),
      buffer_(std::make_unique_for_overwrite<char[]>(kBufferSize)),
      pos_(buffer_.get()),
      end_(pos_ + kBufferSize) {
  // Not mkstemp: it creates mode 0600, and emulating umask afterwards needs umask(), which cannot be read
  // without changing it process-wide. O_CREAT | O_EXCL with 0666 lets the kernel apply the umask (and any
  // default ACL) exactly as for a file created in place.
  int error_number = EEXIST;
  for (int attempt = 0; attempt < 100 && error_number == EEXIST; ++attempt) {
    std::string name = temporary_name(path_);
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temporary_path_ = std::move(name);
      return;
    }
    error_number = errno;
  }
  fail(error_number);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
  remove_temporary();
}

OutputFile& OutputFile::append_large(std::string_view s) {
  flush();
  if (s.size() <= kBufferSize) {
    std::memcpy(pos_, s.data(), s.size());
    pos_ += s.size();
  } else if (ok() && !committed_) {
    write_all(s.data(), s.size());
  }
  return *this;
}

void OutputFile::flush() {
  if (ok() && !committed_) write_all(buffer_.get(), pos_ - buffer_.get());
  pos_ = buffer_.get();
}

void OutputFile::write_all(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd_, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno);
      return;
    }
    // A regular file accepts at least one byte or reports why not; guard against looping forever anyway.
    if (written == 0) {
      fail(EIO);
      return;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool OutputFile::commit() {
  if (committed_) return ok();
  flush();
  committed_ = true;
  if (fd_ >= 0) {
    // Linux releases the descriptor even when close() reports EINTR, and the data already went through
    // write(), so EINTR is not a failure; retrying could close a descriptor reused by another thread.
    if (::close(fd_) != 0 && errno != EINTR) fail(errno);
    fd_ = -1;
  }
  if (ok()) {
    if (::rename(temporary_path_.c_str(), path_.c_str()) == 0) {
      temporary_path_.clear();
    } else {
      fail(errno);
    }
  }
  remove_temporary();
  return ok();
}

void OutputFile::fail(int error_number) {
  if (!ok()) return;
  error_ = "cannot write " + path_ + ": " + std::generic_category().message(error_number);
}

void OutputFile::remove_temporary() {
  if (temporary_path_.empty()) return;
  ::unlink(temporary_path_.c_str());
  temporary_path_.clear();
}

}  // namespace expcoil
