#include "cli/progress_line.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace daq::cli {

namespace {

ProgressLine::Output standard_error() {
  return {[](const std::string& text) { std::fputs(text.c_str(), stderr); },
          [] { return ProgressLine::Clock::now(); }, isatty(STDERR_FILENO) != 0};
}

// Whole units once there are ten of them, else tenths: "0.4 MB/s", "12 MB/s".
std::string amount(double value) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", value < 9.95 ? 1 : 0, value);
  return text;
}

}  // namespace

ProgressLine::ProgressLine(const char* program, bool asked, bool quiet)
    : ProgressLine(program, asked, quiet, standard_error()) {}

ProgressLine::ProgressLine(const char* program, bool asked, bool quiet, Output output)
    : program_(program), out_(std::move(output)), show_(!quiet && (asked || out_.terminal)) {
  start_ = last_ = out_.now();
}

ProgressLine::~ProgressLine() {
  if (!ticker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  ticker_.join();
}

void ProgressLine::keep_alive() {
  if (!show_ || ticker_.joinable()) return;
  ticker_ = std::thread([this] {
    // Signals stay with the program's own thread.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stopping_; })) {
      show_if_due();
    }
  });
}

void ProgressLine::start(const char* what, double total, const char* unit, double scale) {
  std::lock_guard<std::mutex> lock(mutex_);
  what_ = what;
  unit_ = unit;
  scale_ = scale;
  total_ = total;
  done_ = 0;
  active_ = true;
  start_ = last_ = out_.now();
  shown_ = false;
}

void ProgressLine::update(double done) {
  if (!show_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  done_ = done;
  show_if_due();
}

void ProgressLine::tick() {
  if (!show_) return;
  std::lock_guard<std::mutex> lock(mutex_);
  show_if_due();
}

std::string ProgressLine::duration_text(double seconds) {
  const long long s = std::llround(seconds);
  char text[48];
  if (s < 60) {
    std::snprintf(text, sizeof text, "%lld s", s);
  } else if (s < 3600) {
    std::snprintf(text, sizeof text, "%lld min %02lld s", s / 60, s % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld h %02lld min", s / 3600, s / 60 % 60);
  }
  return text;
}

void ProgressLine::show_if_due() {
  if (!show_ || !active_) return;
  const Clock::time_point now = out_.now();
  const double elapsed = std::chrono::duration<double>(now - start_).count();
  if (elapsed < 1) return;
  if (shown_ && now - last_ < (out_.terminal ? std::chrono::milliseconds(200)
                                             : std::chrono::milliseconds(2000))) {
    return;
  }
  last_ = now;
  shown_ = true;
  std::string line = out_.terminal ? "\r" : "";
  line += program_;
  line += ": ";
  if (*what_ != '\0') line += std::string(what_) + " ";
  // Events are counted whole, megabytes to a tenth.
  const char* format = scale_ <= 1 ? "%.0f" : "%.1f";
  char n[48];
  std::snprintf(n, sizeof n, format, done_ / scale_);
  line += n;
  if (total_ > 0) {
    std::snprintf(n, sizeof n, format, total_ / scale_);
    line += std::string(" of ") + n;
  }
  line += std::string(" ") + unit_ + ", ";
  if (done_ > 0) {
    // The rate since the step began: the time before the first count (a
    // file read in one go) belongs to the work that count stands for.
    const double rate = done_ / elapsed;
    line += amount(rate / scale_) + " " + unit_ + "/s";
    if (total_ > 0 && done_ < total_) {
      line += ", " + duration_text((total_ - done_) / rate) + " left";
    }
  } else {
    line += "\u2014 " + std::string(unit_) + "/s";
  }
  line += out_.terminal ? "\033[K" : "\n";
  out_.write(line);
}

void ProgressLine::finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shown_ && out_.terminal) out_.write("\r\033[K");
  shown_ = false;
  active_ = false;
}

}  // namespace daq::cli
