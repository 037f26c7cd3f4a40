#include "app/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/output_file.hpp"

namespace expcoil {
namespace {

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void end_by_signal(int signal_number) {
  output_file_remove_temporaries();
  // The signal stays blocked until the handler returns; it is then delivered again with the default
  // action, which ends the process.
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor: this one, as the lower ones are open by now.
    const int opened = ::open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) ::close(opened);
  }
}

void install_signal_handlers() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = end_by_signal;
  ::sigemptyset(&action.sa_mask);
  // One handler at a time per thread: a second signal waits until the first has ended the process.
  for (int s : kEndingSignals) ::sigaddset(&action.sa_mask, s);
  for (int s : kEndingSignals) {
    struct sigaction previous {};
    if (::sigaction(s, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(s, &action, nullptr);
  }
}

int check_standard_output(int exit_code) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error_number = errno;
  if (flushed && std::ferror(stdout) == 0) return exit_code;
  // A failure of an earlier flush leaves only the stream's error flag: its reason is gone.
  std::string message = "cannot write standard output";
  if (!flushed && error_number != 0) {
    message += ": ";
    message += std::strerror(error_number);
  }
  std::fprintf(stderr, "%s\n", message.c_str());
  return 1;
}

}  // namespace expcoil
