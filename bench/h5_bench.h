// The run file (-h5) in the benchmark: its cost and size beside the text
// table's, every value checked, and the host's own share of a run.
#ifndef DAQUSER_BENCH_H5_BENCH_H_
#define DAQUSER_BENCH_H5_BENCH_H_

#include <string>
#include <vector>

#include "workloads.h"

namespace daq::bench {

struct H5Result {
  std::string id, codec;
  double text_s = 0, h5_s = 0;  // medians
  uint64_t text_bytes = 0, h5_bytes = 0;
  double time_vs_text = 0, size_vs_text = 0;
  // Minor page faults of one run (medians): buffers that a run allocates
  // anew cost the kernel a fault per page.
  double text_faults = 0, h5_faults = 0;
  // Every dataset read back through the C API: bytes of values read and the
  // median time.
  uint64_t read_bytes = 0;
  double read_s = 0;
  bool available = true;  // the codec can be had
  bool exact = false;     // every value read back equals the host's
  std::string error;
  // Codec none: the groups and datasets of the file, and the median time the
  // HDF5 library alone takes to make as many, each written once with the
  // rows of the run (the least any writer of this layout can take).
  uint64_t groups = 0, datasets = 0;
  double library_floor_s = 0;
  // Codec none: the median time HDF5 alone takes to make this run file's
  // objects again (H5Ocopy of /run: groups, links, datasets with their
  // types, chunks, fill values and rows, attributes, dimension scales), each
  // written once, and that plus the host's walk over the run's rows; the run
  // file's time over the latter (vs_layout_floor).
  double layout_copy_s = 0, layout_floor_s = 0, vs_layout_floor = 0;
};

// The workload's rows through "-nodump -h5 FILE -h5z CODEC" for each codec,
// timed in turn with the plug-in writing the tab-mode table, `reps` times,
// after an untimed run of each (the table's writer had one). With `long_run`
// set (a long W3), only the codecs none, gzip and lz4, and no library floor.
std::vector<H5Result> measure_h5(Workload& w, int reps, const std::string& dir,
                                 bool long_run = false);

// Median seconds of the host calls that the plug-in makes for the
// workload's rows, with nothing formatted or written: what any writer of
// the run pays the host.
double host_only_seconds(Workload& w, int reps);

}  // namespace daq::bench

#endif  // DAQUSER_BENCH_H5_BENCH_H_
