// Internal access to the run-wide state beyond its exported globals.
#ifndef DAQUSER_RUN_STATE_H_
#define DAQUSER_RUN_STATE_H_

namespace daq {

// Points file, fileids, imdir and xfile back at their default names.
void restore_default_names();

// Puts every option, name, table, list and counter back to its value at
// load time, closing the files and releasing the tables.  For harnesses that
// run the hooks many times in one process; a host never needs it.
void reset_run_state();

}  // namespace daq

#endif  // DAQUSER_RUN_STATE_H_
