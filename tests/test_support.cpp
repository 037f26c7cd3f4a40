#include "test_support.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace expcoil::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "expcoil-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::vector<std::string> list_dir(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

RunResult run_in_child(const std::function<void()>& body) {
  TempDir capture;
  const std::string out_path = capture / "stdout";
  const std::string err_path = capture / "stderr";
  const auto start = std::chrono::steady_clock::now();
  std::fflush(nullptr);  // or the child would write the parent's pending output a second time
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    body();
    std::fflush(nullptr);
    ::_exit(0);
  }
  RunResult result;
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) throw std::runtime_error("cannot start a child process");
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

namespace {

// Runs `binary` with `arguments` in `dir`, `child_setup` (when given) just before.
RunResult run_binary(const char* binary, const std::filesystem::path& dir,
                     const std::vector<std::string>& arguments, const std::function<void()>& child_setup) {
  // Standard output and error are captured outside `dir`, so the directory holds only what the
  // program itself wrote.
  return run_in_child([&] {
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    if (child_setup) child_setup();
    std::vector<char*> argv{const_cast<char*>(binary)};
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(binary, argv.data());
    ::_exit(127);
  });
}

}  // namespace

RunResult run_program(const std::filesystem::path& dir, const std::function<void()>& child_setup) {
  return run_binary(EXPCOIL_BINARY, dir, {}, child_setup);
}

RunResult run_export_program(const std::filesystem::path& dir, const std::vector<std::string>& arguments) {
  return run_binary(EXPCOIL_EXPORT_BINARY, dir, arguments, {});
}

WindingSet winding_set(const std::vector<Segment>& segments) {
  WindingSet set;
  for (const Segment& s : segments) set.append(s);
  return set;
}

std::string parameter_block(const std::string& name) {
  return "Parameters name: " + name +
         "\nScaling k: 2.5\nGood field height: 0.15\nVertical end height: 0.08\n"
         "Vertical middle join height: 0.35\nVertical middle asymmetry: 0\nVertical middle ramp: 0.5\n"
         "Vertical end asymmetry: 0\nVertical end ramp: 0.5\nCoil meshes: 16\nFFT meshes: 32\n"
         "Use vertical FFT inversion: yes\nFieldmap transverse cell: 0.02\nFieldmap vertical cell: 0.05\n"
         "Fieldmap longitudinal cell: 0.2\nFieldmap transverse extension: 0.02\n"
         "Fieldmap vertical extension: 0.02\nFieldmap longitudinal extension: 0.2\n";
}

std::string magnet_block(const std::string& name, double angle_degrees) {
  return "Magnet name: " + name +
         "\nBmax: 0.8\nLength: 0.8\nAngle (degrees): " + std::to_string(angle_degrees) +
         "\nWinding centre to midplane: 0.02\nWinding return half-length: 0.1\nArea per winding (cm^2): 1\n"
         "Winding current density (A/mm^2): 30\nWinding thickness (cm): 1\nPolynomial adjustment: 0\n";
}

}  // namespace expcoil::test
