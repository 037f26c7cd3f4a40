// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include "app/driver.hpp"
#include "app/process.hpp"

int main() {
  expcoil::reserve_standard_descriptors();
  expcoil::install_signal_handlers();
  return expcoil::check_standard_output(expcoil::run_driver("config.txt"));
}
