#include "lib/scratch_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

#include "lib/errors.hpp"

namespace expcoil {

ScratchFile::ScratchFile(const std::string& directory, const std::string& output)
    : directory_(directory.empty() ? "." : directory), output_(output) {
  fd_ = ::open(directory_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd_ >= 0) return;
  // File systems without O_TMPFILE: a named file, unlinked at once.
  std::string name = directory_ + "/.expcoil-scratch-XXXXXX";
  fd_ = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd_ < 0) fail(errno);
  ::unlink(name.c_str());
}

ScratchFile::~ScratchFile() {
  if (fd_ >= 0) ::close(fd_);
}

void ScratchFile::write_at(std::uint64_t offset, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

void ScratchFile::read_at(std::uint64_t offset, void* data, std::size_t size) const {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd_, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail(n < 0 ? errno : EIO);
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

void ScratchFile::fail(int error_number) const {
  throw WriteError(output_,
                   "scratch file in " + directory_ + ": " + std::generic_category().message(error_number));
}

}  // namespace expcoil
