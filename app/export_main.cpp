// expcoil-export FORMAT INPUT [OUTPUT]: converts a field map or windings table of expcoil for a tracking
// code or viewer; see --help. As a process it behaves as expcoil does (process.hpp): signals that end it
// remove its temporaries, a file-size limit is a write error, and a failed standard output is exit 1.
#include "app/export.hpp"
#include "app/process.hpp"
#include "io/export/export.hpp"

int main(int argc, char** argv) {
  expcoil::reserve_standard_descriptors();
  expcoil::install_signal_handlers();
  expcoil::export_program_start();
  return expcoil::check_standard_output(expcoil::run_export(std::vector<std::string>(argv + 1, argv + argc)));
}
