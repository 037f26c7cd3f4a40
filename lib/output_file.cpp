#include "lib/output_file.hpp"

#include "lib/errors.hpp"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
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

// "<directory of path>expcoil-XXXXXXXX.tmp": beside the target, so that the final rename stays within one
// file system and is atomic, and of a fixed length, so that any target name the file system accepts also
// leaves room for its temporary. Distinct across processes (pid, clock) and within one (counter);
// collisions are retried anyway.
std::string temporary_name(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  std::uint64_t bits = mix(static_cast<std::uint64_t>(::getpid()) ^ mix(counter.fetch_add(1)) ^
                           mix(static_cast<std::uint64_t>(now)));
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  name += "expcoil-";
  for (int i = 0; i < 8; ++i) {
    name += kAlphabet[bits % 36];
    bits /= 36;
  }
  name += ".tmp";
  return name;
}

// The registry of live temporary names, read by output_file_remove_temporaries() from a signal handler.
// The handler may only load these slots and call unlink(): blocks are never freed, and a name's storage
// is released by its owner only after its slot is cleared and no removal is running, so the handler never
// reads freed memory. A name that finds no slot (no memory for a new block) is simply not removed by a
// signal; the file itself works as before.
struct SlotBlock {
  std::atomic<const char*> names[64];
  std::atomic<SlotBlock*> next{nullptr};
};
static_assert(std::atomic<const char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the registry is read from signal handlers");

SlotBlock g_first_block;
std::atomic<int> g_removals_running{0};

std::atomic<const char*>* register_name(const char* name) {
  SlotBlock* block = &g_first_block;
  while (block != nullptr) {
    for (std::atomic<const char*>& slot : block->names) {
      const char* expected = nullptr;
      if (slot.compare_exchange_strong(expected, name)) return &slot;
    }
    SlotBlock* next = block->next.load();
    if (next == nullptr) {
      SlotBlock* fresh = new (std::nothrow) SlotBlock;
      if (fresh == nullptr) return nullptr;
      if (block->next.compare_exchange_strong(next, fresh)) {
        next = fresh;
      } else {
        delete fresh;  // another thread appended one first: `next` now holds it
      }
    }
    block = next;
  }
  return nullptr;
}

void unregister_name(std::atomic<const char*>* slot) {
  if (slot == nullptr) return;
  slot->store(nullptr);
  // A removal that started before the store may still read the name. A removal running on another thread
  // belongs to a signal handler that is about to end the process, so waiting here costs nothing.
  while (g_removals_running.load() != 0) ::sched_yield();
}

// Why the thing at `path` must not be replaced by the finished file, or empty when it may be: a device
// or a FIFO (/dev/null as root) would be swapped for a regular file, so only a regular file, a symbolic
// link to one (the link is replaced) or nothing may stand there. A directory is left to rename(), which
// names it.
std::string target_problem(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return std::string();
  if (S_ISLNK(info.st_mode) && ::stat(path.c_str(), &info) != 0) return std::string();  // dangling
  if (S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)) return std::string();
  const char* what = S_ISCHR(info.st_mode)    ? "a character device"
                     : S_ISBLK(info.st_mode)  ? "a block device"
                     : S_ISFIFO(info.st_mode) ? "a FIFO"
                     : S_ISSOCK(info.st_mode) ? "a socket"
                                              : "not a file";
  return std::string("not a regular file (") + what + "), which is left as it is";
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
  if (std::string problem = target_problem(path_); !problem.empty()) {
    reason_ = std::move(problem);
    return;
  }
  int error_number = EEXIST;
  // The name is registered before the file exists, so that no signal finds a file it does not know of.
  for (int attempt = 0; attempt < 100 && error_number == EEXIST; ++attempt) {
    temporary_path_ = temporary_name(path_);
    registry_slot_ = register_name(temporary_path_.c_str());
    fd_ = ::open(temporary_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) return;
    error_number = errno;
    unregister_name(registry_slot_);
    registry_slot_ = nullptr;
    temporary_path_.clear();
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
  // Again just before the rename: the target may have been made since the file was opened.
  if (std::string problem = ok() ? target_problem(path_) : std::string(); !problem.empty()) {
    reason_ = std::move(problem);
  }
  if (ok()) {
    if (::rename(temporary_path_.c_str(), path_.c_str()) == 0) {
      unregister_name(registry_slot_);
      registry_slot_ = nullptr;
      temporary_path_.clear();
    } else {
      fail(errno);
    }
  }
  remove_temporary();
  return ok();
}

void OutputFile::commit_or_throw() {
  if (!commit()) throw WriteError(path_, reason_);
}

void OutputFile::throw_if_failed() const {
  if (!ok()) throw WriteError(path_, reason_);
}

void OutputFile::fail(int error_number) {
  if (!ok()) return;
  reason_ = std::generic_category().message(error_number);
}

void OutputFile::remove_temporary() {
  if (temporary_path_.empty()) return;
  // Unlinked before it leaves the registry: a signal in between unlinks a name that is already gone.
  ::unlink(temporary_path_.c_str());
  unregister_name(registry_slot_);
  registry_slot_ = nullptr;
  temporary_path_.clear();
}

void output_file_remove_temporaries() noexcept {
  g_removals_running.fetch_add(1);
  for (SlotBlock* block = &g_first_block; block != nullptr; block = block->next.load()) {
    for (const std::atomic<const char*>& slot : block->names) {
      if (const char* name = slot.load()) ::unlink(name);
    }
  }
  g_removals_running.fetch_sub(1);
}

void write_text_file(const std::string& path, std::string_view text) {
  OutputFile file(path);
  file.text(text);
  file.commit_or_throw();
}

}  // namespace expcoil
