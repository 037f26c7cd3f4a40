#include "app/kernel_variable.hpp"

#include <cstdio>
#include <new>

#include "lib/errors.hpp"
#include "magnet/field.hpp"

namespace expcoil {

bool apply_kernel_variable(bool report) {
  try {
    field_kernel_choice();
    return true;
  } catch (const Error& e) {
    if (report) std::fprintf(stderr, "%s\n", e.what());
  } catch (const std::bad_alloc&) {
    if (report) std::fprintf(stderr, "out of memory while choosing the field kernel\n");
  }
  return false;
}

}  // namespace expcoil
