// The programs' own operator new and delete (large_blocks.cpp): blocks from kLargeBlock bytes are mapped
// on their own, aligned to 2 MiB and advised for huge pages.
#pragma once

#include <cstddef>

namespace expcoil {

inline constexpr std::size_t kLargeBlock = std::size_t{1} << 20;

// Whether this build maps them (not under the sanitizers, which bring their own operator new).
bool large_blocks_mapped();

}  // namespace expcoil
