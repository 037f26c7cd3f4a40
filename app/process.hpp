// What the program settles for itself as a process: how signals end it, and the last check of its
// standard output.
#pragma once

namespace expcoil {

// Opens /dev/null, read-only, on any of the descriptors 0, 1 and 2 that is closed, so that no output file
// is ever opened as standard output or error (and written into by a message), while a write to a closed
// standard output still fails (EBADF) and is reported.
void reserve_standard_descriptors();

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
