#include "app/driver.hpp"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "app/cluster.hpp"
#include "app/field_map_run.hpp"
#include "app/kernel_variable.hpp"
#include "app/progress.hpp"
#include "app/report.hpp"
#include "app/workers_variable.hpp"
#include "io/program/conductor_file.hpp"
#include "io/program/field_map_csv.hpp"
#include "io/program/windings_table.hpp"
#include "lib/errors.hpp"
#include "lib/matrix.hpp"
#include "lib/memory.hpp"
#include "lib/number_format.hpp"
#include "lib/output_file.hpp"
#include "lib/workers.hpp"
#include "magnet/checks.hpp"
#include "magnet/design.hpp"
#include "magnet/field_map.hpp"
#include "magnet/promise.hpp"
#include "magnet/segment.hpp"

namespace expcoil {
namespace {

// Only the root speaks: the other ranks of a cluster run print nothing and write nothing.
bool g_speaks = true;

void print(std::string_view text) {
  if (g_speaks) std::fwrite(text.data(), 1, text.size(), stdout);
}

void print_line(std::string_view prefix, std::string_view text) {
  print(prefix);
  print(text);
  print("\n");
}

template <class... Args>
void print_error(const char* format, Args... args) {
  if (!g_speaks) return;
  std::fflush(stdout);
  std::fprintf(stderr, format, args...);
}

// "<prefix><name><suffix>", with no limit on the name's length.
std::string output_name(std::string_view prefix, const std::string& name, std::string_view suffix) {
  std::string path(prefix);
  path += name;
  path += suffix;
  return path;
}

// A file that cannot be written is reported and the run goes on with the next one. Returns whether the
// file was written.
template <class Write>
bool write_reported(Write&& write) {
  try {
    write();
    return true;
  } catch (const WriteError& e) {
    print_error("%s\n", e.what());
    return false;
  }
}

// One magnet through the chain. Returns false when one of its files could not be written.
bool process_magnet(const MagnetSpec& magnet, Cluster& cluster, unsigned workers) {
  print_line("Magnet ", magnet.name);
  WindingSet windings;
  std::vector<BandFigures> promise;
  // Only the windings are needed from here on: the potential is released before the field map.
  cluster.run_agreed([&] {
    Design design = design_magnet(magnet, workers);
    windings = std::move(design.windings);
    promise = std::move(design.promise);
  });
  for (const BandFigures& band : promise) print_line("Promise, ", promise_text(band));
  print("Generating fieldmap\n");
  const FieldMapGrid grid = field_map_grid(magnet);
  print(field_map_extent_text(grid));
  print(field_map_count_text(grid));
  // The windings' files do not need the map, and making their text is a serial pass over the windings:
  // on the root, with a core to spare, it runs beside the map. The files are still written after the map,
  // from that text, so that what reaches the disk, in what order, and what is reported stay those of
  // writing them then (a full disk, say, still fails the windings rather than the map).
  std::string table_text, conductor_text;
  bool have_text = false;
  std::jthread formatter;
  if (cluster.root() && worker_count(workers) >= 2) {
    try {
      formatter = std::jthread([&] {
        try {
          table_text = windings_table_text(windings);
          conductor_text = conductor_file_text(windings);
          have_text = true;
        } catch (const std::bad_alloc&) {
          // Made again while writing, where a shortage is reported as everywhere else.
        }
      });
    } catch (const std::system_error&) {
      // No thread: the text is made while writing.
    }
  }
  bool written;
  {
    // The messages above stay above the bar on a terminal.
    std::fflush(stdout);
    std::optional<ProgressBar> progress;
    if (g_speaks) progress.emplace("Fieldmap", grid.points());
    written = write_reported([&] {
      field_map_run(windings, grid, output_name("fieldmap_", magnet.name, ".csv"), cluster,
                    progress ? progress->counter() : nullptr, kSlabPoints, workers,
                    FieldOptions{magnet.params.fieldmap_tolerance});
    });
  }
  print("Saving windings\n");
  if (formatter.joinable()) formatter.join();
  if (!cluster.root()) return written;
  // From the text made beside the map, or made now.
  const auto save = [&](const char* suffix, const std::string& text,
                        void (*write)(const WindingSet&, const std::string&)) {
    const std::string path = output_name("windings_", magnet.name, suffix);
    return write_reported([&] { have_text ? write_text_file(path, text) : write(windings, path); });
  };
  written = save(".csv", table_text, windings_table_write) && written;
  written = save(".cond", conductor_text, conductor_file_write) && written;
  return written;
}

// The field maps are computed in slabs of bounded memory, so their size is limited by the disk they are
// written to: judged before the first magnet runs, the maps of all magnets together, since their files
// stay side by side.
std::vector<std::string> check_disk_space(const std::string& config_path, const ParameterSet& set) {
  std::vector<std::string> problems;
  struct statvfs disk;
  if (::statvfs(".", &disk) != 0) return problems;  // unknown: the writes themselves will tell
  const double free_bytes = static_cast<double>(disk.f_bavail) * static_cast<double>(disk.f_frsize);
  double needed = 0;
  for (std::uint32_t i = 0; i < set.magnet_count(); ++i) {
    const MagnetSpec& magnet = set.magnets[i];
    const FieldMapGrid grid = field_map_grid(magnet);
    needed += field_map_csv_size(grid);
    if (needed <= free_bytes) continue;
    problems.push_back(
        config_path + ": magnet \"" + magnet.name + "\": the field map of " +
        field_map_dimensions_text(grid) + " points needs about " + format_gib(field_map_csv_size(grid)) +
        " on disk" + (i > 0 ? " (with the maps of the magnets before it, " + format_gib(needed) + ")" : "") +
        ", more than the " + format_gib(free_bytes) + " free in the working directory");
    break;
  }
  return problems;
}

Cluster* g_cluster = nullptr;

std::uint64_t fnv1a(std::string_view bytes) {
  std::uint64_t h = 0xcbf29ce484222325;
  for (const char c : bytes) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3;
  return h;
}

// Every rank gives its `failure` (its lines; empty when none) and learns whether all ranks are fine, so
// that no rank stops alone and leaves the others waiting for it. The root prints the first failing
// rank's lines, naming the rank when it is not the root itself.
bool agreed(Cluster& cluster, const std::string& failure) {
  const Cluster::Outcome outcome = cluster.agree(failure.empty() ? nullptr : &failure);
  if (outcome.failed_rank < 0) return true;
  std::size_t from = 0;
  while (from <= outcome.message.size()) {
    std::size_t end = outcome.message.find('\n', from);
    if (end == std::string::npos) end = outcome.message.size();
    const std::string line = outcome.message.substr(from, end - from);
    if (outcome.failed_rank == 0) {
      print_error("%s\n", line.c_str());
    } else {
      print_error("rank %d: %s\n", outcome.failed_rank, line.c_str());
    }
    from = end + 1;
  }
  return false;
}

// A fatal report ends the process; the cluster's session ends with it, so that no rank waits.
void finish_cluster() {
  if (g_cluster != nullptr) g_cluster->finish();
}

}  // namespace

int run_driver(const std::string& config_path, Cluster& cluster) {
  g_speaks = cluster.root();
  g_cluster = &cluster;
  set_report_exit_hook(finish_cluster);
  // Everything a rank can find wrong with its surroundings and its config.txt, in the order a single
  // process has always reported it.
  unsigned workers = 0;
  ParameterSet set;
  std::string bytes;
  std::vector<std::string> warnings;
  std::string failure = kernel_variable_problem();
  if (failure.empty()) {
    try {
      workers = program_workers(cluster);
    } catch (const InputError& e) {
      failure = e.what();
    }
  }
  if (failure.empty()) {
    try {
      bytes = config_bytes_load(config_path);
      set = parameter_set_parse(config_path, bytes, &warnings);
    } catch (const ConfigError& e) {
      for (const std::string& problem : e.problems()) failure += (failure.empty() ? "" : "\n") + problem;
    } catch (const std::bad_alloc&) {
      failure = config_path + ": out of memory while reading the configuration";
    }
  }
  for (const std::string& warning : warnings) print_error("%s\n", warning.c_str());
  if (!agreed(cluster, failure)) return 1;
  // Ranks that read different files would each compute their share of a different magnet, and the
  // root would write the mixture as one field map.
  if (cluster.size() > 1) {
    const std::uint64_t mine = fnv1a(bytes);
    const std::string differs = mine == cluster.root_value(mine)
                                    ? std::string()
                                    : config_path + ": not the same bytes as rank 0's " + config_path +
                                          ": every rank must read the same configuration";
    if (!agreed(cluster, differs)) return 1;
  }
  if (cluster.root()) {
    const std::vector<std::string> problems = check_disk_space(config_path, set);
    for (const std::string& problem : problems) print_error("%s\n", problem.c_str());
    if (!cluster.from_root(problems.empty())) return 1;
  } else if (!cluster.from_root(true)) {
    return 1;
  }
  print_line("Parameters ", set.name);

  bool all_written = true;
  for (std::uint32_t i = 0; i < set.magnet_count(); ++i) {
    const MagnetSpec& magnet = set.magnets[i];
    try {
      all_written = process_magnet(magnet, cluster, workers) && all_written;
    } catch (const FftLengthError& e) {
      if (!g_speaks) return 1;
      // The run's one fatal report, in the form users and their scripts know: on standard output, after
      // a pause that keeps it on screen. Standard error says which value of which magnet caused it.
      print_error("%s: magnet \"%s\": \"FFT meshes\" must be a power of two (it is %llu)\n",
                  config_path.c_str(), magnet.name.c_str(), static_cast<unsigned long long>(e.length()));
      report_inner("fft", 46, REPORT_FATAL_ERROR, "Some moron called fft with a non-power-of-two-sized array",
                   0);
    } catch (const Cluster::RankFailed& e) {
      print_error("rank %d: magnet \"%s\": %s\n", e.rank(), magnet.name.c_str(), e.what());
      return 1;
    } catch (const std::bad_alloc&) {
      print_error("magnet \"%s\": out of memory\n", magnet.name.c_str());
      return 1;
    } catch (const std::exception& e) {
      print_error("magnet \"%s\": %s\n", magnet.name.c_str(), e.what());
      return 1;
    }
  }
  set.magnets = GrowList<MagnetSpec>();  // released before the last line, as the records always were
  print("Done\n");
  return all_written ? 0 : 1;
}

}  // namespace expcoil
