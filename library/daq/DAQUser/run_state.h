// Internal access to the run-wide state beyond its exported globals.
#ifndef DAQUSER_RUN_STATE_H_
#define DAQUSER_RUN_STATE_H_

namespace daq {

// Points `global` (&file, &imdir, &xfile or &ftilist) at the plug-in's own
// copy of `value`, releasing the copy of an earlier value.
void keep_option_value(char** global, const char* value);

// Points file, fileids, imdir and xfile back at their default names and
// releases the copies of option values (ftilist, when it was one, is null).
void restore_default_names();

// Puts every option, name, table, list and counter back to its value at
// load time, closing the files and releasing the tables.  For harnesses that
// run the hooks many times in one process; a host never needs it.
void reset_run_state();

}  // namespace daq

#endif  // DAQUSER_RUN_STATE_H_
