// Formatting cost of a field-map line (three grid coordinates, three field components) against glibc's
// snprintf, and end-to-end OutputFile throughput.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lib/number_format.hpp"
#include "lib/output_file.hpp"

namespace {

using Line = std::array<double, 6>;

// Coordinates on a 0.01 grid carry representation error half of the time (0.06999999999999999), so they
// exercise both the short-digit and the exact path; field components have 17 significant digits.
std::vector<Line> field_map_lines(int count) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> field(-2e-3, 2e-3);
  std::vector<Line> lines(count);
  for (int n = 0; n < count; ++n) {
    const int i = n % 31, j = n / 31 % 31, k = n / 961;
    lines[n] = {i * 0.01 - 0.15, j * 0.01 - 0.15, k * 0.01 - 0.15, field(rng), field(rng), field(rng)};
  }
  return lines;
}

const std::vector<Line>& sample_lines() {
  static const std::vector<Line> lines = field_map_lines(4096);
  return lines;
}

void BM_format_general_15(benchmark::State& state) {
  const auto& lines = sample_lines();
  char buffer[expcoil::kMaxNumberChars];
  std::size_t n = 0;
  for (auto _ : state) {
    for (const double v : lines[n++ % lines.size()]) {
      benchmark::DoNotOptimize(expcoil::format_general(buffer, v, 15));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * 6);
}
BENCHMARK(BM_format_general_15);

void BM_snprintf_general_15(benchmark::State& state) {
  const auto& lines = sample_lines();
  char buffer[expcoil::kMaxNumberChars];
  std::size_t n = 0;
  for (auto _ : state) {
    for (const double v : lines[n++ % lines.size()]) {
      benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "%.15lg", v));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * 6);
}
BENCHMARK(BM_snprintf_general_15);

void BM_format_fixed(benchmark::State& state) {
  const auto& lines = sample_lines();
  char buffer[expcoil::kMaxNumberChars];
  std::size_t n = 0;
  for (auto _ : state) {
    for (const double v : lines[n++ % lines.size()]) {
      benchmark::DoNotOptimize(expcoil::format_fixed(buffer, v));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * 6);
}
BENCHMARK(BM_format_fixed);

void BM_snprintf_fixed(benchmark::State& state) {
  const auto& lines = sample_lines();
  char buffer[expcoil::kMaxNumberChars];
  std::size_t n = 0;
  for (auto _ : state) {
    for (const double v : lines[n++ % lines.size()]) {
      benchmark::DoNotOptimize(std::snprintf(buffer, sizeof buffer, "%lf", v));
      benchmark::ClobberMemory();
    }
  }
  state.SetItemsProcessed(state.iterations() * 6);
}
BENCHMARK(BM_snprintf_fixed);

// A complete 100,000-line field map, committed, per iteration; bytes/s is the wall-clock file-writing
// rate, which includes the write() calls into the page cache.
void BM_output_file_field_map(benchmark::State& state) {
  const auto& lines = sample_lines();
  const std::string path =
      (std::filesystem::temp_directory_path() / ("expcoil_bench_" + std::to_string(::getpid()) + ".csv"))
          .string();
  std::int64_t bytes = 0;
  for (auto _ : state) {
    expcoil::OutputFile file(path);
    for (int n = 0; n < 100000; ++n) {
      const Line& line = lines[n % lines.size()];
      file.general(line[0], 15);
      for (int c = 1; c < 6; ++c) file.text(",").general(line[c], 15);
      file.line_end();
    }
    if (!file.commit()) {
      state.SkipWithError(file.error().c_str());
      break;
    }
    state.PauseTiming();
    bytes += static_cast<std::int64_t>(std::filesystem::file_size(path));
    state.ResumeTiming();
  }
  state.SetBytesProcessed(bytes);
  std::filesystem::remove(path);
}
BENCHMARK(BM_output_file_field_map)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
