// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include "app/driver.hpp"

int main() { return expcoil::run_driver("config.txt"); }
