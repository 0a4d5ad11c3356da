// The progress line against a clock the test sets: when a line comes, and
// that the rate and the time left it tells are the ones measured.
#include "cli/progress_line.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using daq::cli::ProgressLine;
using namespace std::chrono_literals;

struct Fake {
  ProgressLine::Clock::time_point now{};
  std::vector<std::string> lines;

  ProgressLine line(bool terminal, bool asked = true, bool quiet = false) {
    return ProgressLine(
        "daq-reader", asked, quiet,
        {[this](const std::string& s) { lines.push_back(s); }, [this] { return now; }, terminal});
  }
  std::string take() {
    std::string all;
    for (const std::string& s : lines) all += s;
    lines.clear();
    return all;
  }
};

TEST(ProgressLine, TellsMeasuredRateAndTimeLeftOnlyOnceSomethingIsCounted) {
  Fake f;
  ProgressLine p = f.line(false);
  p.start("loading", 154.2e6, "MB", 1e6);
  // The loader's first count comes late and near nought: no rate yet, so
  // neither a rate nor a time left made of it.
  f.now += 500ms;
  p.update(0);
  EXPECT_EQ(f.take(), "");
  f.now += 700ms;
  p.update(0);
  EXPECT_EQ(f.take(), "daq-reader: loading 0.0 of 154.2 MB, \u2014 MB/s\n");
  // A count that comes seldom is still told every 2 s.
  f.now += 1900ms;
  p.tick();
  EXPECT_EQ(f.take(), "");
  f.now += 100ms;
  p.tick();
  EXPECT_EQ(f.take(), "daq-reader: loading 0.0 of 154.2 MB, \u2014 MB/s\n");
  // 39 MB in the 5.2 s since the start, the reading before the first count
  // included: 7.5 MB/s, 115.2 MB to go in 15 s.
  f.now += 800ms;
  p.update(39e6);
  EXPECT_EQ(f.take(), "");
  f.now += 1200ms;
  p.update(39e6);
  EXPECT_EQ(f.take(), "daq-reader: loading 39.0 of 154.2 MB, 7.5 MB/s, 15 s left\n");
  // Done: no time left.
  f.now += 2s;
  p.update(154.2e6);
  EXPECT_EQ(f.take(), "daq-reader: loading 154.2 of 154.2 MB, 21 MB/s\n");
  p.finish();
  p.tick();
  EXPECT_EQ(f.take(), "");

  // A pipe: bytes read, no total, no time left.
  p.start("reading standard input", 0, "MB", 1e6);
  f.now += 2s;
  p.update(300e6);
  EXPECT_EQ(f.take(), "daq-reader: reading standard input 300.0 MB, 150 MB/s\n");

  // Events, with a time left past the hour.
  p.start("walked", 1e6, "events", 1);
  f.now += 10s;
  p.update(2000);
  EXPECT_EQ(f.take(), "daq-reader: walked 2000 of 1000000 events, 200 events/s, 1 h 23 min left\n");
  EXPECT_EQ(ProgressLine::duration_text(185.4), "3 min 05 s");
}

TEST(ProgressLine, RedrawsInPlaceOnATerminalAndKeepsSilentWhenToldTo) {
  Fake f;
  ProgressLine p = f.line(true, false);
  p.start("", 100, "events", 1);
  f.now += 1s;
  p.update(10);
  EXPECT_EQ(f.take(), "\rdaq-reader: 10 of 100 events, 10 events/s, 9 s left\033[K");
  f.now += 100ms;
  p.update(11);
  EXPECT_EQ(f.take(), "");
  f.now += 100ms;
  p.update(12);
  EXPECT_EQ(f.take(), "\rdaq-reader: 12 of 100 events, 10 events/s, 9 s left\033[K");
  p.finish();
  EXPECT_EQ(f.take(), "\r\033[K");

  for (auto [terminal, asked, quiet] : {std::tuple{true, true, true}, {false, false, false}}) {
    ProgressLine silent = f.line(terminal, asked, quiet);
    silent.start("loading", 10, "MB", 1);
    f.now += 5s;
    silent.update(5);
    silent.tick();
    silent.finish();
    EXPECT_EQ(f.take(), "");
  }
}

}  // namespace
