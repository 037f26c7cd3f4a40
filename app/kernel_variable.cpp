#include "app/kernel_variable.hpp"

#include <new>

#include "lib/errors.hpp"
#include "magnet/field.hpp"

namespace expcoil {

std::string kernel_variable_problem() {
  try {
    field_kernel_choice();
    return std::string();
  } catch (const Error& e) {
    return e.what();
  } catch (const std::bad_alloc&) {
    return "out of memory while choosing the field kernel";
  }
}

}  // namespace expcoil
