// How much memory a run may count on: the machine's physical memory, or less where the process's
// control group (a container, a batch job's allocation) is limited below it. Sizes are judged against
// this before the work starts, so that a run too large is refused with a message instead of being
// killed by the system without one.
#pragma once

#include <string>

namespace expcoil {

// Bytes; 1e300 when nothing can be read (then the allocations themselves decide).
double usable_memory_bytes();

// "<x> GiB" with three significant digits, as the messages print sizes.
std::string format_gib(double bytes);

}  // namespace expcoil
