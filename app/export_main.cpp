// expcoil-export FORMAT INPUT [OUTPUT]: converts a field map or windings table of expcoil for a tracking
// code or viewer; see --help. As a process it behaves as expcoil does (process.hpp): signals that end it
// remove its temporaries, a file-size limit is a write error, and a failed standard output is exit 1.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/export.hpp"
#include "app/process.hpp"
#include "app/program_arguments.hpp"
#include "io/export/export.hpp"

int main(int argc, char** argv) {
  expcoil::reserve_standard_descriptors();
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  // As for expcoil, the first of --help, -h and --version decides.
  const auto first = std::find_if(arguments.begin(), arguments.end(), [](const std::string& a) {
    return a == "--help" || a == "-h" || a == "--version";
  });
  if (first != arguments.end() && *first == "--version") {
    std::fputs(expcoil::version_line("expcoil-export").c_str(), stdout);
    return expcoil::check_standard_output(0);
  }
  expcoil::install_signal_handlers();
  expcoil::export_program_start();
  return expcoil::check_standard_output(expcoil::run_export(arguments));
}
