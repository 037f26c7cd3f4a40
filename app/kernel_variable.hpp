// EXPCOIL_KERNEL, the environment variable that names the form of the field kernel to run on
// (magnet/field.hpp: "avx3", "avx2", "sse4", "ssse3", "scalar"; unset: the fastest, measured).
#pragma once

namespace expcoil {

// Makes the process's field kernel choice now, before the configuration is read, so that a bad value
// stops the program before it has read or written anything. Returns false after printing why to
// standard error (when `report`: in a cluster run, only the root speaks).
bool apply_kernel_variable(bool report = true);

}  // namespace expcoil
