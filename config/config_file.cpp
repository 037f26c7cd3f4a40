#include "config/config_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/errors.hpp"

namespace expcoil {
namespace {

// isspace() of the "C" locale, without its undefined behaviour for negative chars.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

std::string_view trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool is_line_end(char c) { return c == '\n' || c == '\r' || c == '\0'; }

}  // namespace

std::optional<std::string_view> read_line(std::string_view text, std::size_t& pos) {
  if (pos >= text.size()) return std::nullopt;
  const std::size_t start = pos;
  std::size_t end = start;
  while (end < text.size() && !is_line_end(text[end])) ++end;
  pos = end;
  if (pos < text.size()) {
    const char terminator = text[pos++];
    if (terminator == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
  return text.substr(start, end - start);
}

ConfigList config_parse(std::string_view bytes, char separator) {
  ConfigList list;
  std::size_t pos = 0;
  std::uint32_t number = 0;
  while (std::optional<std::string_view> line = read_line(bytes, pos)) {
    ++number;
    const std::size_t cut = line->find(separator);
    if (cut == std::string_view::npos) continue;
    list.append(ConfigEntry{std::string(trim(line->substr(0, cut))), std::string(trim(line->substr(cut + 1))),
                            number});
  }
  return list;
}

std::string config_read_bytes(const std::string& path) {
  const auto fail = [&path](int error_number, const std::string& reason) {
    throw ReadError(path, error_number, "cannot read " + path + ": " + reason);
  };
  // Non-blocking, so that a FIFO without a writer is refused instead of waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) fail(errno, std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info;
  if (::fstat(fd, &info) != 0) fail(errno, std::strerror(errno));
  // A device (/dev/zero) or a FIFO would be read until memory runs out, or forever.
  if (S_ISDIR(info.st_mode)) fail(EISDIR, std::strerror(EISDIR));
  if (!S_ISREG(info.st_mode)) fail(0, "not a regular file");
  const auto too_large = [&] {
    fail(EFBIG, "larger than a configuration can be (" + std::to_string(kConfigMaxBytes >> 20) + " MiB)");
  };
  if (static_cast<std::uint64_t>(info.st_size) > kConfigMaxBytes) too_large();
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) fail(errno, std::strerror(errno));
    if (got == 0) break;
    // The file may grow while it is read.
    if (bytes.size() + static_cast<std::size_t>(got) > kConfigMaxBytes) too_large();
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  return bytes;
}

ConfigList config_read(const std::string& path, char separator) {
  return config_parse(config_read_bytes(path), separator);
}

bool config_key_matches(std::string_view stored, std::string_view searched) {
  if (searched.size() > stored.size()) return false;
  for (std::size_t i = 0; i < searched.size(); ++i) {
    if (fold(stored[i]) != fold(searched[i])) return false;
  }
  return true;
}

const std::string* config_lookup(const ConfigList& list, std::string_view key) {
  const std::string* result = nullptr;
  std::size_t best = 0;
  for (std::uint32_t i = list.count(); i-- > 0;) {
    const ConfigEntry& e = list[i];
    if (config_key_matches(e.key, key) && (result == nullptr || e.key.size() < best)) {
      best = e.key.size();
      result = &e.value;
    }
  }
  return result;
}

const std::string* config_lookup_nth(const ConfigList& list, std::string_view key, std::uint32_t n) {
  for (const ConfigEntry& e : list) {
    if (config_key_matches(e.key, key) && --n == 0) return &e.value;
  }
  return nullptr;
}

std::uint32_t config_count(const ConfigList& list, std::string_view key) {
  std::uint32_t count = 0;
  for (const ConfigEntry& e : list) count += config_key_matches(e.key, key) ? 1 : 0;
  return count;
}

const ConfigIndex::Matches& ConfigIndex::matches(std::string_view key) {
  if (auto found = by_key_.find(key); found != by_key_.end()) return found->second;
  Matches m;
  std::size_t best_size = 0;
  for (const ConfigEntry& e : list_) {
    if (!config_key_matches(e.key, key)) continue;
    m.entries.push_back(&e);
    // The shortest stored key; on a tie the later line.
    if (m.best == nullptr || e.key.size() <= best_size) {
      m.best = &e;
      best_size = e.key.size();
    }
  }
  return by_key_.emplace(std::string(key), std::move(m)).first->second;
}

std::vector<std::string> split_string(std::string_view separator, std::string_view text, char quote) {
  std::vector<std::string> pieces;
  bool quoted = false;
  std::size_t piece_start = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    if (quote != 0 && text[i] == quote) quoted = !quoted;
    if (!quoted && !separator.empty() && text.substr(i).starts_with(separator)) {
      pieces.emplace_back(text.substr(piece_start, i - piece_start));
      i += separator.size();
      piece_start = i;
    } else {
      ++i;
    }
  }
  pieces.emplace_back(text.substr(piece_start));
  return pieces;
}

}  // namespace expcoil
