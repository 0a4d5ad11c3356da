// The plug-in's option words.
#ifndef DAQUSER_OPTIONS_H_
#define DAQUSER_OPTIONS_H_

namespace daq {

// Sets the option flags and names from argv[1..argc-1].  A "-fti" list that
// contains "-" ends the process with status 1.
void parse_options(int argc, char** argv);

}  // namespace daq

#endif  // DAQUSER_OPTIONS_H_
