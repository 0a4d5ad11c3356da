// A line on standard error that tells how far a long step has come, for the
// tools that read or write recordings.  It appears a second into a step,
// when standard error is a terminal or when asked for, never when silenced;
// on a terminal it is redrawn in place, elsewhere a new line comes every 2 s.
// Until something is counted there is no rate: "—" stands in its place and
// no time left is told.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace daq::cli {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;

  // Where the lines go and what time it is: standard error and the steady
  // clock, unless a test gives its own.
  struct Output {
    std::function<void(const std::string&)> write;
    std::function<Clock::time_point()> now;
    bool terminal = false;
  };

  // `program` starts each line; `asked` is --progress, `quiet` --quiet.
  ProgressLine(const char* program, bool asked, bool quiet);
  ProgressLine(const char* program, bool asked, bool quiet, Output output);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // A step of `total` units (0: not known, as for a pipe): `what`
  // ("loading", or "" for none) and its unit ("MB", "events"), counted in
  // `scale`ths of what update() is given.
  void start(const char* what, double total, const char* unit, double scale);
  void update(double done);
  // The line again when one is due, with the last count: for a step that
  // counts seldom (a file read in one go, a slow event).
  void tick();
  // Ends the step; clears a line drawn in place.
  void finish();

  // Whether lines are shown at all.
  bool enabled() const { return show_; }

  // Calls tick() from a thread of its own until destroyed.
  void keep_alive();

  // "42 s", "3 min 05 s", "2 h 10 min".
  static std::string duration_text(double seconds);

 private:
  void show_if_due();  // with mutex_ held

  const char* program_;
  Output out_;
  bool show_;
  const char* what_ = "";
  const char* unit_ = "";
  double scale_ = 1;
  double total_ = 0;
  double done_ = 0;
  bool active_ = false;
  Clock::time_point start_, last_;
  bool shown_ = false;

  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::thread ticker_;
};

}  // namespace daq::cli
