// EXPCOIL_WORKERS, the environment variable that sets the worker threads of each process: a positive
// whole number. Unset, a process uses every processor of its machine, shared evenly among the ranks of a
// cluster run that sit on the same machine.
#pragma once

#include "app/cluster.hpp"

namespace expcoil {

// The worker count for the stages of this process. Throws InputError for a value that is not a whole
// number from 1 to 4096.
unsigned program_workers(const Cluster& cluster);

}  // namespace expcoil
