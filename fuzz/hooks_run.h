// One run of the plug-in's hooks behind the scripted host: options, start
// hook, per-event hook for a few events, end hook, all chosen by the input.
#ifndef DAQUSER_FUZZ_HOOKS_RUN_H_
#define DAQUSER_FUZZ_HOOKS_RUN_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace scripted {

// Makes a fresh scratch directory for the hooks' files.  Returns its path
// ("" on failure).
std::string make_scratch_dir();

// Runs the hooks on `data` inside the scratch directory, then puts the
// plug-in's run state back to its initial values, empties the scratch
// directory and returns to the working directory of the caller.
void run_hooks(const uint8_t* data, size_t size);

}  // namespace scripted

#endif  // DAQUSER_FUZZ_HOOKS_RUN_H_
