#include "magnet/formats/export_error.hpp"

namespace expcoil {

namespace {

std::string located(const std::string& path, std::int64_t line, const std::string& reason) {
  std::string text = path;
  if (line > 0) text.append(":").append(std::to_string(line));
  return text.append(": ").append(reason);
}

}  // namespace

InputError::InputError(const std::string& path, std::int64_t line, const std::string& reason)
    : ExportError(located(path, line, reason)), path_(path), line_(line), reason_(reason) {}

WriteError::WriteError(const std::string& path, const std::string& reason)
    : ExportError("cannot write " + path + ": " + reason), path_(path) {}

}  // namespace expcoil
