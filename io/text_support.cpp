#include "io/text_support.hpp"

#include <stdexcept>

#include "magnet/windings_error.hpp"

namespace expcoil {
namespace {

[[noreturn]] void throw_write_error(const OutputFile& file) { throw WriteError(file.path(), file.reason()); }

}  // namespace

void check_output(const OutputFile& file) {
  if (!file.ok()) throw_write_error(file);
}

void commit_output(OutputFile& file) {
  if (!file.commit()) throw_write_error(file);
}

void check_single_range(double v, const char* format) {
  if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
    throw InputError(
        join({"the value ", exact_text(v), " is beyond the single precision that ", format, " reads"}));
}

}  // namespace expcoil
