// A line on standard error that tells how far a long step has come, for the
// tools that read or write recordings.  It appears a second into a step, when
// standard error is a terminal or when asked for, never when silenced; on a
// terminal it is redrawn in place, elsewhere a new line comes every 5 s.
#pragma once

#include <chrono>

namespace daq::cli {

class ProgressLine {
 public:
  // `program` starts each line; `asked` is --progress, `quiet` --quiet.
  ProgressLine(const char* program, bool asked, bool quiet);

  // A step of `total` units: `what` ("loading", or "" for none) and its unit
  // ("MB", "events"), counted in `scale`ths of what update() is given.
  void start(const char* what, double total, const char* unit, double scale);
  void update(double done);
  // Clears a line drawn in place.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;

  const char* program_;
  bool terminal_;
  bool show_;
  const char* what_ = "";
  const char* unit_ = "";
  double scale_ = 1;
  double total_ = 0;
  Clock::time_point start_ = Clock::now(), last_;
  bool shown_ = false;
};

}  // namespace daq::cli
