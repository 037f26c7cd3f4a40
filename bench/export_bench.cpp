// Converting a 10^6-point field map (100 x 100 x 100) from its CSV file into each export format, the
// streaming route of expcoil-export: bytes/s is CSV read per second. The CSV is made once, as expcoil
// writes it (15 significant digits, CR LF), with fields of 17 significant digits rounded to 15.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "io/export/export.hpp"
#include "io/program/field_map_csv_reader.hpp"
#include "lib/number_format.hpp"
#include "lib/output_file.hpp"

namespace {

namespace fs = std::filesystem;

const fs::path& bench_dir() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("expcoil_export_bench" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

const std::string& csv_path() {
  static const std::string path = [] {
    const std::string p = (bench_dir() / "fieldmap_bench.csv").string();
    expcoil::OutputFile file(p);
    file.text("x (m),y,z, Bx (T),By,Bz").line_end();
    for (int i = 0; i < 100; ++i)
      for (int j = 0; j < 100; ++j)
        for (int k = 0; k < 100; ++k) {
          const double x = i * 0.01 - 0.5, y = j * 0.01 - 0.3, z = k * 0.02 - 1.0;
          file.general(x, 15).text(",").general(y, 15).text(",").general(z, 15).text(", ");
          file.general(0.1 * std::sin(3 * x + y) * std::cos(z), 15).text(",");
          file.general(0.8 * std::exp(2.5 * y) + 0.01 * x, 15).text(",");
          file.general(0.05 * std::sin(x * z + 0.3), 15).line_end();
        }
    if (!file.commit()) throw std::runtime_error(file.error());
    return p;
  }();
  return path;
}

void BM_export_csv(benchmark::State& state, const char* format) {
  const std::string input = csv_path();
  const std::string output = (bench_dir() / (std::string("out.") + format)).string();
  for (auto _ : state) expcoil::export_csv(input, format, output);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(input)));
  state.SetItemsProcessed(state.iterations() * 1000000);
  fs::remove(output);
}

BENCHMARK_CAPTURE(BM_export_csv, opal, "opal")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_export_csv, tosca, "tosca")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_export_csv, g4beamline, "g4beamline")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_export_csv, bdsim, "bdsim")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_export_csv, vtk, "vtk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_export_csv, opal_h5, "opal-h5")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_export_csv, openpmd, "openpmd")->Unit(benchmark::kMillisecond)->UseRealTime();

// The reading alone: parsing and checking every row into the whole map, no writer.
void BM_read_csv(benchmark::State& state) {
  const std::string input = csv_path();
  for (auto _ : state) {
    expcoil::FieldMapCsvReader reader(input);
    std::vector<double> b(3 * static_cast<std::size_t>(reader.grid().points()));
    benchmark::DoNotOptimize(reader.read(b.data(), b.size() / 3));
    benchmark::DoNotOptimize(b.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(input)));
}
BENCHMARK(BM_read_csv)->Unit(benchmark::kMillisecond)->UseRealTime();

struct Cleanup {
  ~Cleanup() {
    std::error_code ec;
    fs::remove_all(bench_dir(), ec);
  }
} cleanup;

}  // namespace
