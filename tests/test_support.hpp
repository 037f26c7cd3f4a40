// Helpers shared by the tests: scratch directories, files, and running the real program.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "magnet/segment.hpp"

namespace expcoil::test {

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
// Names of the entries of `dir`, sorted.
std::vector<std::string> list_dir(const std::filesystem::path& dir);

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
  double seconds = 0.0;
};

// Runs the expcoil program with `dir` as its working directory. `child_setup`, when given, runs in the
// child, in `dir`, just before the program starts (limits, signal dispositions, another standard output).
RunResult run_program(const std::filesystem::path& dir, const std::function<void()>& child_setup = {});

// Runs expcoil-export with `arguments` in `dir`.
RunResult run_export_program(const std::filesystem::path& dir, const std::vector<std::string>& arguments);

// Runs `body` in a forked child whose standard output and error are captured; the child ends with
// exit code 0 when `body` returns.
RunResult run_in_child(const std::function<void()>& body);

// The message of the E that `f` throws; "(nothing thrown)" when it returns.
template <class E, class F>
std::string thrown(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

// The segments as a winding set.
WindingSet winding_set(const std::vector<Segment>& segments);

// A small but complete configuration: one parameter block and the given magnet blocks.
std::string parameter_block(const std::string& name = "Test set");
std::string magnet_block(const std::string& name, double angle_degrees = 0.0);

}  // namespace expcoil::test
