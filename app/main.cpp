// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include "app/cluster.hpp"
#include "app/driver.hpp"
#include "app/kernel_variable.hpp"

int main(int argc, char** argv) {
  // Before the cluster starts, so that a bad EXPCOIL_KERNEL leaves no MPI session to end.
  if (!expcoil::apply_kernel_variable()) return 1;
  expcoil::Cluster cluster(argc, argv);
  return expcoil::run_driver("config.txt", cluster);
}
