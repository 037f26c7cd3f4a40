#include "io/export/export_input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "lib/errors.hpp"

namespace expcoil {
namespace {

std::string reason(int error_number) { return std::generic_category().message(error_number); }

[[noreturn]] void read_error(const std::string& path, int error_number) {
  throw ReadError(path, error_number, "cannot read " + path + ": " + reason(error_number));
}

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

ExportInput::ExportInput(const std::string& path, const std::string& beside, std::chrono::milliseconds wait)
    : path_(path) {
  // Non-blocking: opening a FIFO for reading otherwise waits until somebody opens it for writing.
  Descriptor in{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  if (in.fd < 0) read_error(path, errno);
  struct stat info;
  if (::fstat(in.fd, &info) != 0) read_error(path, errno);
  if (S_ISDIR(info.st_mode)) read_error(path, EISDIR);
  // A device never ends (/dev/zero, /dev/urandom): its copy would fill the disk. Pipes and FIFOs end
  // when their writer closes them.
  if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
    throw ReadError(path, 0, "cannot read " + path + ": a device, not a file or a pipe");
  }
  if (!S_ISREG(info.st_mode)) {
    copy_ = std::make_unique<OutputFile>(beside);
    copy_->throw_if_failed();
    copy(in.fd, wait);
  }
  try {
    kind_ = csv_kind(file());
  } catch (...) {
    rethrow();
  }
}

ExportInput::~ExportInput() = default;

void ExportInput::copy(int fd, std::chrono::milliseconds wait) {
  Descriptor out{::open(copy_->temporary_path().c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC)};
  const auto write_error = [&](int error_number) {
    throw WriteError(copy_->path(), "the copy of " + path_ + ": " + reason(error_number));
  };
  if (out.fd < 0) write_error(errno);
  std::vector<char> buffer(std::size_t{1} << 20);
  bool arrived = false;
  for (;;) {
    // Until the first bytes, at most `wait`: a FIFO without a writer never reports anything. Once a writer
    // has spoken, it may take its time.
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, arrived ? -1 : static_cast<int>(wait.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled < 0) read_error(path_, errno);
    if (polled == 0) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000.0);
      throw ReadError(path_, ETIMEDOUT,
                      "cannot read " + path_ + ": nothing arrived within " + seconds +
                          " s (a FIFO that nobody writes to?)");
    }
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n < 0) read_error(path_, errno);
    if (n == 0) break;
    arrived = true;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out.fd, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) write_error(errno);
      done += w;
    }
  }
  if (::close(out.fd) != 0) {
    out.fd = -1;
    write_error(errno);
  }
  out.fd = -1;
}

void ExportInput::rethrow() const {
  try {
    throw;
  } catch (const FileFormatError& e) {
    if (!copy_ || e.path() != file()) throw;
    throw FileFormatError(path_, e.line(), e.reason());
  } catch (const ReadError& e) {
    if (!copy_ || e.path() != file()) throw;
    throw ReadError(path_, e.error_number(), "cannot read " + path_ + ": " + reason(e.error_number()));
  }
}

}  // namespace expcoil
