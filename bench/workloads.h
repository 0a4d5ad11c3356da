// The runs that daq-bench writes, built in memory before any timing.
#ifndef DAQUSER_BENCH_WORKLOADS_H_
#define DAQUSER_BENCH_WORKLOADS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vexa_run.h"

namespace daq::bench {

// A run to write as `rows` rows.  Row k is event k mod the number of events
// the run holds: long runs reuse a few distinct events instead of holding
// every one.  Neighbouring rows always differ in their macro-pulse numbers,
// so every channel's event-ID list grows by one entry per row, as in a real
// run.
struct Workload {
  std::string id;     // "W1"
  std::string title;  // "camera"
  std::unique_ptr<vexa_run> run;
  int64_t rows = 0;
  std::vector<std::string> words;  // start-hook options besides the row format
};

// 2 cameras of 1280 x 1024 pixels, 2 bytes per pixel.
Workload camera_workload(int64_t rows);
// 50 channels of 2 members of 2000 values with statistics, "-dumpall".
Workload spectra_workload(int64_t rows);
// 2000 single-value channels and 200 name-value channels of 8 pairs.
Workload scalars_workload(int64_t rows);
// The simulator's default run with `rows` events, every one distinct.
Workload mixed_workload(int64_t rows);

}  // namespace daq::bench

#endif  // DAQUSER_BENCH_WORKLOADS_H_
