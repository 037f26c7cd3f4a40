// expcoil-export: the program's own tables (fieldmap_<name>.csv, windings_<name>.csv) converted into the
// formats of tracking codes and viewers: arguments, messages and exit codes; the work is in io/export.
#pragma once

#include <string>
#include <vector>

namespace expcoil {

// Runs the program on the arguments after the program name. Exit codes: 0 written; 1 the input was
// rejected or the output could not be written (one message on standard error, no output file); 2 the
// command line is wrong.
int run_export(const std::vector<std::string>& arguments);

}  // namespace expcoil
