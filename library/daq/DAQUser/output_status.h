// Whether every output the run asked for was made.  The end hook fails the
// run when one was not, so that a run with a lost file never ends in success.
#ifndef DAQUSER_OUTPUT_STATUS_H_
#define DAQUSER_OUTPUT_STATUS_H_

namespace daq {

// Forgets the failures of an earlier run.
void reset_output_failures();

// An output that was asked for could not be made (a table write, the
// event-ID file, the XML description, an image file).
void note_output_failure();

bool outputs_failed();

}  // namespace daq

#endif  // DAQUSER_OUTPUT_STATUS_H_
