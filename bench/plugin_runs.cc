#include "plugin_runs.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "daq_user.h"
#include "h5_output.h"
#include "run_state.h"

namespace daq::bench {

// The machine is shared: by default a run is timed by the CPU time it takes
// (user and system), which other processes disturb far less than the clock
// on the wall.
bool wall_clock = false;

double now_seconds() {
  if (wall_clock) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds_since(double start) { return now_seconds() - start; }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double ratio(double a, double b) { return b > 0 ? a / b : 0; }

// Option flags keep their values from run to run within one process.
void reset_plugin_options() {
  zerocheck = imbin = evstatdump = nodump = dallval = nostat = nonvn = hdf5mode = imdump = dumpxml =
      false;
  daq::restore_default_names();
  ftilist = nullptr;
  first_event = last_event = 0;
  bad_chans = 0;
  nbunch = 0;
  outmode = 0;
  h5::reset();
}

// Start hook, per-event hook for every row and end hook, writing `path`.
bool run_plugin(Workload& w, bool hdf5, const std::string& path, std::string* error,
                const std::vector<std::string>& extra) {
  reset_plugin_options();
  std::vector<std::string> words = {"libDAQUser.so"};
  if (!path.empty()) words.insert(words.end(), {"-out", path});
  if (hdf5) words.push_back("-hdf5");
  words.insert(words.end(), w.words.begin(), w.words.end());
  words.insert(words.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  int argc = static_cast<int>(words.size());

  vexa_run& run = *w.run;
  vexa_daq_reader_2010 reader_2010(&run);
  vexa_daq_reader_2024 reader_2024(&run);
  bool is_2010 = run.generation == 2010;
  int rc = is_2010 ? vexa_user_init_2010(argc, argv.data(), &reader_2010)
                   : vexa_user_init_2024(argc, argv.data(), &reader_2024);
  if (rc != 0) {
    *error = "start hook returned " + std::to_string(rc);
    return false;
  }
  vexa_daq_getdata data(&run);
  size_t events = run.events.size();
  int64_t failed = 0;
  for (int64_t k = 0; k < w.rows && events > 0; ++k) {
    data.position(static_cast<size_t>(k) % events);
    if (vexa_user_loop(&data) != 0) ++failed;
  }
  if (is_2010) {
    vexa_user_end_2010(&reader_2010);
  } else {
    vexa_user_end_2024(&reader_2024);
  }
  if (failed != 0) *error = std::to_string(failed) + " events failed in the per-event hook";
  return failed == 0;
}

}  // namespace daq::bench
