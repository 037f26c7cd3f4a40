#include "app/workers_variable.hpp"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>

#include "lib/errors.hpp"
#include "lib/workers.hpp"

namespace expcoil {

unsigned program_workers(const Cluster& cluster) {
  const char* value = std::getenv("EXPCOIL_WORKERS");
  if (value == nullptr || *value == '\0') {
    const unsigned share = processor_count() / static_cast<unsigned>(cluster.local_size());
    return share > 0 ? share : 1;
  }
  const std::string_view text(value);
  unsigned workers = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), workers);
  if (error != std::errc() || end != text.data() + text.size() || workers < 1 || workers > 4096) {
    throw InputError(
        "EXPCOIL_WORKERS is \"" + std::string(text) +
        "\", which is not a worker count: use a whole number from 1 to 4096, or leave it unset to "
        "use every processor");
  }
  return workers;
}

}  // namespace expcoil
