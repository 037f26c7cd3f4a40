// expcoil-export FORMAT INPUT [OUTPUT]: converts a field map or windings table of expcoil for a tracking
// code or viewer; see --help.
#include <algorithm>
#include <cstdio>

#include "app/export.hpp"
#include "app/process.hpp"
#include "app/program_arguments.hpp"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  // As for expcoil, the first of --help, -h and --version decides.
  const auto first = std::find_if(arguments.begin(), arguments.end(), [](const std::string& a) {
    return a == "--help" || a == "-h" || a == "--version";
  });
  if (first != arguments.end() && *first == "--version") {
    std::fputs(expcoil::version_line("expcoil-export").c_str(), stdout);
    return expcoil::check_standard_output(0);
  }
  return expcoil::run_export(arguments);
}
