#include "magnet/formats/text_support.hpp"

#include <stdexcept>

#include "magnet/formats/export_error.hpp"

namespace expcoil {
namespace {

[[noreturn]] void throw_write_error(const OutputFile& file) {
  // OutputFile's message is "cannot write <path>: <reason>".
  const std::string prefix = "cannot write " + file.path() + ": ";
  const std::string& message = file.error();
  throw WriteError(file.path(), message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message);
}

}  // namespace

void check_output(const OutputFile& file) {
  if (!file.ok()) throw_write_error(file);
}

void commit_output(OutputFile& file) {
  if (!file.commit()) throw_write_error(file);
}

void check_single_range(double v, const char* format) {
  if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
    throw std::invalid_argument(
        join({"the value ", exact_text(v), " is beyond the single precision that ", format, " reads"}));
}

}  // namespace expcoil
