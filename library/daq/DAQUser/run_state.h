// Internal access to the run-wide state beyond its exported globals.
#ifndef DAQUSER_RUN_STATE_H_
#define DAQUSER_RUN_STATE_H_

namespace daq {

// Points file, fileids, imdir and xfile back at their default names.
void restore_default_names();

}  // namespace daq

#endif  // DAQUSER_RUN_STATE_H_
