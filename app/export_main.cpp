// expcoil-export FORMAT INPUT [OUTPUT]: converts a field map or windings table of expcoil for a tracking
// code or viewer; see --help.
#include "app/export.hpp"

int main(int argc, char** argv) {
  return expcoil::run_export(std::vector<std::string>(argv + 1, argv + argc));
}
