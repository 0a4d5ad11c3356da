// The literal table writer: the same table file as the plug-in, written the
// plain C way.  Every piece of text is formatted by snprintf into one
// 256-byte buffer and handed to fwrite, reading the host through the same
// data-access calls.  It is the yardstick the plug-in's speed is measured
// against, and a second, independent reading of the cell rules that the
// plug-in's file must match byte for byte.
#ifndef DAQUSER_BENCH_BASELINE_H_
#define DAQUSER_BENCH_BASELINE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "vexa_run.h"

namespace daq::bench {

// The option words the literal writer knows: "-hdf5", "-dumpall",
// "-nostat" and "-nonvn".  It writes the table file only; the diagnostics
// on standard output, "-zerocheck", image files, the event-ID file and the
// XML description are left to the plug-in.
struct LiteralOptions {
  bool hdf5 = false;
  bool dumpall = false;
  bool nostat = false;
  bool nonvn = false;
};

// False, with *error, for a word the literal writer does not know.
bool parse_literal_options(const std::vector<std::string>& words, LiteralOptions* options,
                           std::string* error);

// Writes the table of `rows` events to `path`: row k from event k mod the
// number of events in `run`, with the host globals nbunch and outmode as
// they stand.  False, with *error, when a host read fails or the file cannot
// be written.
bool write_literal_table(vexa_run& run, int64_t rows, const LiteralOptions& options,
                         const std::string& path, std::string* error);

}  // namespace daq::bench

#endif  // DAQUSER_BENCH_BASELINE_H_
