// The simulator's recordings: deterministic, accepted by the host, shaped
// like a machine's run, and turned by daq-reader into one full row per event.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "scratch_dir.h"
#include "simulate/simulator.h"
#include "test_support.h"
#include "vexa_run.h"

namespace {

namespace fs = std::filesystem;
using daq::sim::SimOptions;
using daq::sim::simulate_run;
using daq::test::make_run;
using daq::test::Outcome;
using daq::test::read_file;
using daq::test::ScratchDirTest;

SimOptions options(int generation, uint64_t seed, int events) {
  SimOptions o;
  o.generation = generation;
  o.seed = seed;
  o.events = events;
  return o;
}

uint64_t mpulse_of(const vexa_run& run, const vexa_run_block& b) {
  return run.generation == 2010 ? static_cast<uint64_t>(b.mpulse) : b.mpulse64;
}

TEST(SimulateRun, IsDeterministicAndBehavesLikeAMachine) {
  for (int generation : {2010, 2024}) {
    SCOPED_TRACE(generation);
    SimOptions o = options(generation, 7, 80);
    o.image_width = 16;
    o.image_height = 12;
    const std::string text = simulate_run(o);
    EXPECT_EQ(text, simulate_run(o));
    o.seed = 8;
    EXPECT_NE(text, simulate_run(o));
    std::unique_ptr<vexa_run> run = make_run(text);
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(run->generation, generation);
    ASSERT_EQ(run->events.size(), 80u);
    ASSERT_EQ(run->descr_list.size(), run->channels.size());

    int gaps = 0, missing_gauge = 0, bad = 0, unconvertible = 0, zero_traces = 0;
    for (size_t k = 0; k < run->events.size(); ++k) {
      const vexa_run_event& e = run->events[k];
      ASSERT_TRUE(e.image_block && e.fast_block);
      const vexa_run_channel& toroid = e.channels.at("TOROID.1");
      ASSERT_EQ(toroid.type, 2);
      ASSERT_TRUE(toroid.single);
      if (k > 0) {
        const vexa_run_event& before = run->events[k - 1];
        uint64_t step = e.id - before.id;
        gaps += step != 1;
        EXPECT_TRUE(step == 1 || (step >= 3 && step <= 6)) << step;
        EXPECT_EQ(
            mpulse_of(*run, toroid.block) - mpulse_of(*run, before.channels.at("TOROID.1").block),
            step);
      }
      missing_gauge += e.channels.count("VAC.GAUGE") == 0;
      for (const auto& [selector, c] : e.channels) bad += c.header_status != 0;
      unconvertible += !e.channels.at("MAGNET.EQ").convertible;
      EXPECT_EQ(e.channels.at("BPM.1").pairs.size(), 3u);

      const vexa_run_channel& adc = e.channels.at("ADC.1");
      ASSERT_EQ(adc.members.size(), 2u);
      const std::vector<float>& trace = adc.members[0].values;
      ASSERT_EQ(trace.size(), 64u);
      bool all_zero = std::all_of(trace.begin(), trace.end(), [](float v) { return v == 0; });
      zero_traces += all_zero;
      EXPECT_EQ(adc.members[0].has_stat, !all_zero);
      EXPECT_EQ(e.channels.at("ADC.SUB:2").members.at(0).groups, 2);

      // 8-bit camera every event, 16-bit camera (big-endian words) every other.
      for (const char* cam : {"CAM.1", "CAM.2"}) {
        SCOPED_TRACE(cam);
        const int bpp = cam[4] == '1' ? 1 : 2;
        auto it = e.channels.find(cam);
        ASSERT_EQ(it != e.channels.end(), bpp == 1 || k % 2 == 0);
        if (it == e.channels.end()) continue;
        const vexa_run_image& im = it->second.image.value();
        EXPECT_EQ(im.bpp, bpp);
        EXPECT_EQ(im.len, 16 * 12 * bpp);
        EXPECT_EQ(im.frame_head.width, 16);
        EXPECT_EQ(im.frame_head.height, 12);
        EXPECT_EQ(im.frame_head.bpp, bpp);
        EXPECT_EQ(im.frame_head.event, static_cast<uint32_t>(e.id));
        if (bpp == 2 && e.type == 1) {
          int peak = 0;
          for (size_t b = 0; b + 1 < im.data.size(); b += 2) {
            peak = std::max(peak, im.data[b] << 8 | im.data[b + 1]);
          }
          EXPECT_GT(peak, 1500);
          EXPECT_LE(peak, 4095);
        }
      }
    }
    EXPECT_EQ(gaps, 1);
    EXPECT_GT(missing_gauge, 5);
    EXPECT_LT(missing_gauge, 75);
    EXPECT_GT(bad, 0);
    EXPECT_GT(unconvertible, 0);
    EXPECT_LT(unconvertible, 40);
    EXPECT_GT(zero_traces, 0);
  }
  SimOptions bad = options(2015, 1, 1);
  EXPECT_THROW(simulate_run(bad), std::invalid_argument);
  bad = options(2024, 1, -1);
  EXPECT_THROW(simulate_run(bad), std::invalid_argument);
  bad.events = 1;
  bad.image_width = 0;
  EXPECT_THROW(simulate_run(bad), std::invalid_argument);
}

// The table's lines, without their line ends.
std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Separators outside brackets and braces: lists, spectra and images carry
// their own inner separators.
int separators(const std::string& line, char sep) {
  int depth = 0, count = 0;
  for (char c : line) {
    if (c == '[' || c == '{') ++depth;
    if (c == ']' || c == '}') --depth;
    count += depth == 0 && c == sep;
  }
  return count;
}

class SimulateTool : public ScratchDirTest {
 protected:
  // Runs `program args` in the scratch directory.
  Outcome run(const std::string& program, const std::string& args) {
    return run_here("'" + program + "' " + args);
  }
};

TEST_F(SimulateTool, ReaderWritesOneFullRowPerEvent) {
  for (int generation : {2010, 2024}) {
    SimOptions o = options(generation, 5, 12);
    o.image_width = 16;
    o.image_height = 12;
    o.toroids = o.bpms = o.adcs = 2;
    o.cameras = 3;
    const std::string text = simulate_run(o);
    std::ofstream(dir_ / "sim.run.json") << text;
    std::unique_ptr<vexa_run> sim = make_run(text);
    ASSERT_NE(sim, nullptr);
    for (bool hdf5 : {false, true}) {
      SCOPED_TRACE(std::to_string(generation) + (hdf5 ? " -hdf5" : " tab"));
      Outcome r = run(READER_PATH, hdf5 ? "--quiet sim.run.json -- -hdf5" : "--quiet sim.run.json");
      ASSERT_EQ(r.status, 0) << r.err;
      std::vector<std::string> table = lines(file("user_out.txt"));
      ASSERT_EQ(table.size(), 13u);
      const char sep = hdf5 ? ',' : '\t';
      const int columns = separators(table[0], sep);
      EXPECT_EQ(columns, 3 + static_cast<int>(sim->channels.size()) - (hdf5 ? 1 : 0));
      for (size_t k = 1; k < table.size(); ++k) {
        // In tab mode type 1 and type 2 cells end with a tab of their own.
        int own = 0;
        for (const auto& [selector, c] : sim->events[k - 1].channels) {
          own += !hdf5 && (c.type == 1 || c.type == 2);
        }
        EXPECT_EQ(separators(table[k], sep) - own, columns) << table[k];
      }
    }
  }
}

TEST_F(SimulateTool, WritesTheLibrarysTextAndRefusesBadOptions) {
  SimOptions o = options(2010, 9, 3);
  o.image_width = 8;
  o.image_height = 6;
  o.samples = 10;
  const std::string expected = simulate_run(o);
  const std::string args = "--generation 2010 --seed 9 --events 3 --image 8x6 --samples 10";
  Outcome r = run(SIMULATE_PATH, args + " --out sim.run.json");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(file("sim.run.json"), expected);
  r = run(SIMULATE_PATH, args);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  r = run(SIMULATE_PATH, "--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("--image WxH"), std::string::npos);
  // A chosen first ID shifts every ID and nothing else.
  r = run(SIMULATE_PATH, "--events 3 --first-event 70");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("\"id\":5000000000"), std::string::npos);
  EXPECT_NE(r.out.find("\"id\":70,"), std::string::npos);

  struct Case {
    std::string args, needle;
  } cases[] = {
      {"--events x", "--events"},
      {"--events -1", "--events"},
      {"--events 1000001", "--events"},
      {"--cameras 65", "--cameras"},
      {"--samples 0", "--samples"},
      {"--seed 18446744073709551616", "--seed"},
      {"--generation 2015", "--generation"},
      {"--image 64", "--image"},
      {"--image 0x48", "--image width"},
      {"--image 64x", "--image height"},
      {"--bogus 1", "--bogus"},
      {"stray", "stray"},
      {"--events 2 --out", "--out"},
      {"--first-event x", "--first-event"},
      {"--generation 2010 --events 3 --first-event 4294967290", "first event ID"},
      {"--events 3 --first-event 18446744073709551610", "first event ID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    r = run(SIMULATE_PATH, c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
  }
}

// The text streams out as it is made: to standard output with "--out -",
// the same pieces the library hands its sink, nothing but the text.
TEST_F(SimulateTool, StreamsToStandardOutputOrAWholeFile) {
  SimOptions o = options(2024, 4, 7);
  std::string pieces;
  int events_made = 0;
  simulate_run(
      o, [&](std::string_view piece) { pieces += piece; }, [&](int done) { events_made = done; });
  EXPECT_EQ(pieces, simulate_run(o));
  EXPECT_EQ(events_made, 7);
  const std::string args = "--seed 4 --events 7";
  Outcome r = run(SIMULATE_PATH, args + " --out - --progress");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, pieces);
  EXPECT_EQ(r.err, "");  // under a second: no progress even when asked for
  // A file that cannot be written leaves nothing behind, not even its part.
  r = run(SIMULATE_PATH, args + " --out nodir/sim.run.json");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cannot write nodir/sim.run.json"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "nodir"));
  r = run(SIMULATE_PATH, args + " --out sim.run.json --quiet");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(file("sim.run.json"), pieces);
  // Nothing but the file: no part left beside it, nor after a signal ends a run.
  r = run_here("{ '" SIMULATE_PATH
               "' --events 1000000 --cameras 0 --adcs 0 --quiet "
               "--out big.run.json & p=$!; sleep 0.3; kill -TERM $p; wait $p; }");
  EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_)) {
    entries += e.path().filename().string().find(".run.json") != std::string::npos;
  }
  EXPECT_EQ(entries, 1u);
  // What a rename would replace but must not: a pipe, a symbolic link.
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("sim.run.json", dir_ / "link");
  for (const char* target : {"fifo", "link"}) {
    r = run(SIMULATE_PATH, args + " --quiet --out " + target);
    EXPECT_EQ(r.status, 1) << target;
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(std::filesystem::is_fifo(dir_ / "fifo"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link"));
}

// The bundled examples are what examples/README.md says regenerates them.
TEST(SimulateExamples, MatchTheirCommands) {
  const struct {
    int generation;
    uint64_t seed;
  } examples[] = {{2010, 2010}, {2024, 3}};
  for (const auto& [generation, seed] : examples) {
    SCOPED_TRACE(generation);
    std::string path = EXAMPLES_DIR "/sim-" + std::to_string(generation) + ".run.json";
    std::string bundled = read_file(path);
    EXPECT_EQ(bundled, simulate_run(options(generation, seed, 20)));
    EXPECT_LT(bundled.size(), 300u * 1024);
  }
}

}  // namespace
