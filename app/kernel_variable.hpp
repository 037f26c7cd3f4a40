// EXPCOIL_KERNEL, the environment variable that names the form of the field kernel to run on
// (magnet/field.hpp: "avx3", "avx2", "sse4", "ssse3", "scalar"; unset: the fastest, measured).
#pragma once

#include <string>

namespace expcoil {

// Makes the process's field kernel choice now, before the configuration is read, so that a bad value
// stops the program before it has read or written anything. Returns why it cannot be made, or an empty
// text when it is made (in a cluster run the ranks agree on the outcome before any of them stops).
std::string kernel_variable_problem();

}  // namespace expcoil
