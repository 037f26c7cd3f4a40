// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include "app/cluster.hpp"
#include "app/driver.hpp"
#include "app/kernel_variable.hpp"
#include "app/process.hpp"

int main(int argc, char** argv) {
  expcoil::reserve_standard_descriptors();
  expcoil::install_signal_handlers();
  expcoil::Cluster cluster(argc, argv);
  // Every rank finds the same variable and stops alike; the root alone says why.
  if (!expcoil::apply_kernel_variable(cluster.root())) return 1;
  return expcoil::check_standard_output(expcoil::run_driver("config.txt", cluster));
}
