// The windings table file, windings_<name>.csv: every segment of a magnet as one line of seven numbers,
// in set order, after the header "x1 (m),y1,z1, x2,y2,z2, I (Amps)". Numbers as printf "%.15lg" with
// three-digit exponents, lines ending in CR LF.
#pragma once

#include <string>
#include <string_view>

#include "magnet/segment.hpp"

namespace expcoil {

inline constexpr std::string_view kWindingsCsvHeader = "x1 (m),y1,z1, x2,y2,z2, I (Amps)";

// Writes the file through a temporary that is renamed onto `path` when complete. Throws WriteError
// ("cannot write <path>: <reason>") on failure and leaves any existing file at `path` untouched.
void windings_table_write(const WindingSet& windings, const std::string& path);
// The same bytes in memory, for writing later (write_text_file).
std::string windings_table_text(const WindingSet& windings);

// Reads the file back, segment for segment: seven finite numbers a line, blank lines only at the end;
// segment k is on line k + 2. Throws ReadError when it cannot be read and FileFormatError
// "<path>:<line>: <reason>" for the first line that is not what the format holds there.
WindingSet windings_table_read(const std::string& path);

}  // namespace expcoil
