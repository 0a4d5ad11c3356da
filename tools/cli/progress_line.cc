#include "cli/progress_line.h"

#include <unistd.h>

#include <cstdio>

namespace daq::cli {

ProgressLine::ProgressLine(const char* program, bool asked, bool quiet)
    : program_(program),
      terminal_(isatty(STDERR_FILENO) != 0),
      show_(!quiet && (asked || terminal_)) {}

void ProgressLine::start(const char* what, double total, const char* unit, double scale) {
  what_ = what;
  unit_ = unit;
  scale_ = scale;
  total_ = total;
  start_ = last_ = Clock::now();
  shown_ = false;
}

void ProgressLine::update(double done) {
  if (!show_) return;
  auto now = Clock::now();
  if (now - start_ < std::chrono::seconds(1)) return;
  if (shown_ && now - last_ < (terminal_ ? std::chrono::milliseconds(200)
                                         : std::chrono::milliseconds(5000))) {
    return;
  }
  last_ = now;
  shown_ = true;
  double rate = done / std::chrono::duration<double>(now - start_).count();
  char left[32] = "";
  if (rate > 0 && done < total_) {
    std::snprintf(left, sizeof left, ", %.0f s left", (total_ - done) / rate);
  }
  const int digits = scale_ > 1 ? 1 : 0;
  std::fprintf(stderr, "%s%s: %s%s%.*f of %.*f %s, %.0f %s/s%s%s", terminal_ ? "\r" : "", program_,
               what_, *what_ != '\0' ? " " : "", digits, done / scale_, digits, total_ / scale_,
               unit_, rate / scale_, unit_, left, terminal_ ? "\033[K" : "\n");
}

void ProgressLine::finish() {
  if (shown_ && terminal_) std::fputs("\r\033[K", stderr);
  shown_ = false;
}

}  // namespace daq::cli
