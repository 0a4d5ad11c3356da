// What a run tells on standard error, beside the plug-in's standard output
// (which stays as it is): outputs that failed, named with the system's
// reason; image files that failed, one line per cause with a count; the
// counted diagnostics of standard output, per channel; and warnings about
// the option words.  Every line starts with "libDAQUser: ".
#ifndef DAQUSER_RUN_REPORT_H_
#define DAQUSER_RUN_REPORT_H_

#include <cstdint>
#include <string>

namespace daq::report {

// Starts a run: forgets what an earlier run noted.  Until finish_run, image
// failures are counted rather than reported one by one.
void start_run();

// Prints the summary lines of the run (image failures, counted messages).
void finish_run();

// Forgets everything noted, printing nothing: back to the state at load time.
void reset();

// "libDAQUser: cannot write the WHAT NAME: REASON", at once.
void output_failed(const char* what, const char* name, int error);

// A warning about the option words, at once.
void warning(const std::string& text);

// An image file that could not be written: `error` an error number, or 0
// with `cause` saying why (a name too long, too little free space).
void image_failed(const std::string& name, int error, const char* cause = nullptr);

// "No image parameters availanle" printed for a bad channel.
void no_image_parameters(int channel, uint64_t event);

// "!!!Failed to extract data of type EqData...!!!" printed for a channel.
void structured_failed(int channel, uint64_t event);

}  // namespace daq::report

#endif  // DAQUSER_RUN_REPORT_H_
