#include "lib/memory.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>

#include "lib/number_format.hpp"

namespace expcoil {
namespace {

// A limit file holds a byte count, or "max" (cgroup v2) / a huge number (v1) when there is none.
double limit_in(const std::string& path) {
  std::ifstream in(path);
  std::string text;
  if (!(in >> text) || text == "max") return 1e300;
  char* end = nullptr;
  const double bytes = std::strtod(text.c_str(), &end);
  return (end != text.c_str() && bytes > 0) ? bytes : 1e300;
}

// The smallest memory limit on the way from this process's control group up to the root, for both
// versions of the interface.
double control_group_limit() {
  double limit = 1e300;
  std::ifstream groups("/proc/self/cgroup");
  std::string line;
  while (std::getline(groups, line)) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::string root, file;
    if (controllers.empty()) {
      root = "/sys/fs/cgroup", file = "/memory.max";
    } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
      root = "/sys/fs/cgroup/memory", file = "/memory.limit_in_bytes";
    } else {
      continue;
    }
    for (;;) {
      limit = std::min(limit, limit_in(root + path + file));
      if (path.empty() || path == "/") break;
      path.resize(path.rfind('/'));
    }
  }
  return limit;
}

}  // namespace

double usable_memory_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  const double physical =
      (pages > 0 && page > 0) ? static_cast<double>(pages) * static_cast<double>(page) : 1e300;
  return std::min(physical, control_group_limit());
}

std::string format_gib(double bytes) { return format_general(bytes / 1073741824.0, 3) + " GiB"; }

}  // namespace expcoil
