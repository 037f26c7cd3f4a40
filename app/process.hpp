// What the program settles for itself as a process: how signals end it, and the last check of its
// standard output.
#pragma once

namespace expcoil {

// Ignores SIGPIPE and SIGXFSZ, so that a closed standard output or a file-size limit becomes a write
// error (EPIPE, EFBIG) reported like any other instead of killing the run. Makes SIGINT, SIGTERM and
// SIGHUP first remove the temporary files of the output files being written, then end the process by the
// same signal with its default action, so that the parent sees how it ended. A signal ignored on entry
// (nohup, a background job of a non-interactive shell) stays ignored.
void install_signal_handlers();

// Flushes standard output. Returns `exit_code` when everything written there arrived; otherwise reports
// "cannot write standard output: <reason>" on standard error and returns 1.
int check_standard_output(int exit_code);

}  // namespace expcoil
