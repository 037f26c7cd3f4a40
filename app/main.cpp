// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include "app/driver.hpp"
#include "app/kernel_variable.hpp"

int main() {
  if (!expcoil::apply_kernel_variable()) return 1;
  return expcoil::run_driver("config.txt");
}
