#include "app/program_arguments.hpp"

namespace expcoil {

ProgramCommand parse_program_arguments(const std::vector<std::string>& arguments) {
  ProgramCommand command;
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") return {ProgramRequest::help, {}};
    if (a == "--version") return {ProgramRequest::version, {}};
    command.ignored.push_back(a);
  }
  return command;
}

std::string program_help_text() {
  return "usage: expcoil [--help | --version]\n"
         "\n"
         "Designs the coil windings of every magnet of config.txt in the working directory and writes\n"
         "fieldmap_<name>.csv, windings_<name>.csv and windings_<name>.cond there (existing ones are\n"
         "replaced). It takes no other arguments. See examples/config.txt and the README for the keys.\n"
         "\n"
         "Environment: EXPCOIL_WORKERS=N threads per process; EXPCOIL_KERNEL=scalar|ssse3|sse4|avx2|avx3\n"
         "forces a field kernel.\n"
         "\n"
         "Exit codes: 0 every file written; 1 the configuration was rejected or a magnet or file failed.\n"
         "expcoil-export converts the files for tracking codes and viewers; python3 -m expcoil report\n"
         "judges the windings.\n";
}

std::string version_line(std::string_view program) { return std::string(program) + " " EXPCOIL_VERSION "\n"; }

std::string ignored_arguments_note(const std::vector<std::string>& ignored) {
  if (ignored.empty()) return {};
  std::string note = "expcoil: ignoring the argument";
  note += ignored.size() == 1 ? " " : "s ";
  for (std::size_t i = 0; i < ignored.size(); ++i) note += (i ? " '" : "'") + ignored[i] + "'";
  return note + " (expcoil reads config.txt in the working directory; see expcoil --help)\n";
}

}  // namespace expcoil
