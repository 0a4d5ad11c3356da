#include "output_status.h"

namespace daq {

namespace {

bool failed = false;

}  // namespace

void reset_output_failures() { failed = false; }

void note_output_failure() { failed = true; }

bool outputs_failed() { return failed; }

}  // namespace daq
