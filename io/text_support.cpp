#include "io/text_support.hpp"

#include <stdexcept>

#include "magnet/windings_error.hpp"

namespace expcoil {

void check_single_range(double v, const char* format) {
  if (std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max()))
    throw InputError(
        join({"the value ", exact_text(v), " is beyond the single precision that ", format, " reads"}));
}

}  // namespace expcoil
