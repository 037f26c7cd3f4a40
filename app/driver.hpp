// The whole run: load and check the configuration, then take every magnet through the chain
// current potential -> windings -> field map -> output files, one magnet after the other.
#pragma once

#include <string>

#include "app/cluster.hpp"

namespace expcoil {

// Reads `config_path`, writes the output files into the working directory and returns the exit
// code: 0 when everything was written, 1 after a configuration error, a file that could not be
// written or memory that ran out.
// In a cluster run every rank calls it; the root alone prints and writes.
int run_driver(const std::string& config_path, Cluster& cluster);

}  // namespace expcoil
