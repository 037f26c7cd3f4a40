// The command line of expcoil, which has always run the design whatever it was given: only the requests
// for its usage and its version are answered instead, before anything is read or written.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace expcoil {

enum class ProgramRequest { run, help, version };

struct ProgramCommand {
  ProgramRequest request = ProgramRequest::run;
  std::vector<std::string> ignored;  // every other argument, in order
};

// The first of --help, -h and --version decides; with none of them the design runs.
ProgramCommand parse_program_arguments(const std::vector<std::string>& arguments);

// expcoil --help.
std::string program_help_text();

// "<program> <version>\n", the version being the project's (CMake's project(VERSION)).
std::string version_line(std::string_view program);

// The one line on standard error that says the arguments are not used; empty when there are none.
std::string ignored_arguments_note(const std::vector<std::string>& ignored);

}  // namespace expcoil
