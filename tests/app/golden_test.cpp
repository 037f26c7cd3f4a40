// The whole chain's bits: the program run on the golden configuration (tests/data/golden) must give
// files whose hashes, and magnets whose current potentials, are those recorded in expected.txt. Any
// change in the order of an operation anywhere in the chain (the FFT, the solver, the contouring, the
// field kernel, the number formatting) changes them. When such a change is meant, `make golden`
// (EXPCOIL_REGENERATE_GOLDEN=1 on this test) writes expected.txt anew, to be committed with it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "magnet/checks.hpp"
#include "magnet/design.hpp"
#include "test_support.hpp"

namespace expcoil {
namespace {

const std::filesystem::path kGolden = std::filesystem::path(EXPCOIL_TEST_DATA) / "golden";

// FNV-1a, 64 bits: any accidental change of the bytes shows.
std::uint64_t fnv1a(const void* data, std::size_t size, std::uint64_t h = 0xcbf29ce484222325ull) {
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

std::string hex64(std::uint64_t v) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

// One line per output file (name, size, hash) and per magnet's potential (its shape, the hash of its
// doubles' bits and their sum in row order as a hex float, which tells a reader how far it moved).
std::string golden_record() {
  test::TempDir dir;
  std::filesystem::copy_file(kGolden / "config.txt", dir / "config.txt");
  const test::RunResult run = test::run_program(dir.path());
  EXPECT_EQ(run.exit_code, 0) << run.err;
  std::string record;
  for (const std::string& name : test::list_dir(dir.path())) {
    if (name == "config.txt") continue;
    const std::string bytes = test::read_file(dir / name);
    record += "file " + name + " " + std::to_string(bytes.size()) + " " +
              hex64(fnv1a(bytes.data(), bytes.size())) + "\n";
  }
  const ParameterSet set = parameter_set_load((kGolden / "config.txt").string());
  for (const MagnetSpec& magnet : set.magnets) {
    const Design design = design_magnet(magnet, 2);
    const Matrix& p = design.potential;
    double sum = 0.0;
    for (std::size_t i = 0; i < p.size(); ++i) sum += p.data()[i];
    char sum_text[40];
    std::snprintf(sum_text, sizeof sum_text, "%a", sum);
    record += "potential " + magnet.name + " " + std::to_string(p.rows()) + "x" +
              std::to_string(p.columns()) + " " + hex64(fnv1a(p.data(), p.size() * sizeof(double))) + " " +
              sum_text + "\n";
  }
  return record;
}

TEST(Golden, EveryFileAndPotentialOfTheChainKeepsItsBits) {
  const std::string record = golden_record();
  const std::filesystem::path expected = kGolden / "expected.txt";
  const char* regenerate = std::getenv("EXPCOIL_REGENERATE_GOLDEN");
  if (regenerate != nullptr && std::strcmp(regenerate, "1") == 0) {
    test::write_file(expected, record);
    GTEST_SKIP() << "wrote " << expected;
  }
  EXPECT_EQ(record, test::read_file(expected))
      << "the chain's bits changed; if that is meant, run `make golden` and commit tests/data/golden";
}

}  // namespace
}  // namespace expcoil
