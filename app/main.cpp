// expcoil: designs the windings of exponential-field magnets described in ./config.txt and writes
// their field maps, segment tables and conductor files into the working directory.
#include <cstdio>

#include "app/cluster.hpp"
#include "app/driver.hpp"
#include "app/process.hpp"
#include "app/program_arguments.hpp"

int main(int argc, char** argv) {
  // Answered before MPI starts and before config.txt is looked at: asking for help must not cost a run.
  const expcoil::ProgramCommand command = expcoil::parse_program_arguments({argv + 1, argv + argc});
  if (command.request != expcoil::ProgramRequest::run) {
    std::fputs((command.request == expcoil::ProgramRequest::help ? expcoil::program_help_text()
                                                                 : expcoil::version_line("expcoil"))
                   .c_str(),
               stdout);
    return expcoil::check_standard_output(0);
  }
  expcoil::reserve_standard_descriptors();
  expcoil::install_signal_handlers();
  expcoil::Cluster cluster(argc, argv);
  if (cluster.root()) std::fputs(expcoil::ignored_arguments_note(command.ignored).c_str(), stderr);
  return expcoil::check_standard_output(expcoil::run_driver("config.txt", cluster));
}
