// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include "app/cluster.hpp"
#include "app/driver.hpp"

int main(int argc, char** argv) {
  expcoil::Cluster cluster(argc, argv);
  return expcoil::run_driver("config.txt", cluster);
}
