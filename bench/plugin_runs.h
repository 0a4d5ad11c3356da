// What the benchmarks share: the plug-in's runs through its hooks, in
// process, and the clock they are timed by.
#ifndef DAQUSER_BENCH_PLUGIN_RUNS_H_
#define DAQUSER_BENCH_PLUGIN_RUNS_H_

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "workloads.h"

namespace daq::bench {

// The hooks print the channel list and diagnostics; timing them against a
// terminal would measure the terminal.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

// CPU time by default; the clock on the wall with --wall.
extern bool wall_clock;
double now_seconds();
double seconds_since(double start);
double median(std::vector<double> v);
double ratio(double a, double b);

// Option flags keep their values from run to run within one process: back
// to their defaults.
void reset_plugin_options();

// Start hook, per-event hook for every row and end hook, the table written
// to `path` (none when empty: pass "-nodump" in `extra`), with the
// workload's words and `extra`.
bool run_plugin(Workload& w, bool hdf5, const std::string& path, std::string* error,
                const std::vector<std::string>& extra = {});

}  // namespace daq::bench

#endif  // DAQUSER_BENCH_PLUGIN_RUNS_H_
