// The run file's temporary name beside its target: what a rename may replace,
// and removal of the temporary file when a signal ends the process.
#ifndef DAQ_H5RUN_TEMPORARY_FILE_H_
#define DAQ_H5RUN_TEMPORARY_FILE_H_

#include <signal.h>

#include <string>

namespace h5run {

// Refuses (throws Error) what the rename could not or must not replace: no
// name, a directory, and anything that is not a regular file (a device node,
// a pipe, a symbolic link).
void check_target(const std::string& path);

// Signals that end a process, held back while a name is being given.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t old_;
};

// Notes `name` for removal when SIGINT, SIGTERM, SIGHUP or SIGQUIT ends the
// process; returns a slot for forget_temporary (-1 when none is free).
int note_temporary(const std::string& name);
void forget_temporary(int slot);

}  // namespace h5run

#endif  // DAQ_H5RUN_TEMPORARY_FILE_H_
