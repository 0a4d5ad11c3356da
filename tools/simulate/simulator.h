// Deterministic recording generator: a small accelerator run as the
// reference host reads it (a *.run.json document).
//
// The run is a 10 Hz machine.  Channels, in this order:
//   TIMING.MARK          type 1, every event
//   TOROID.1..toroids    type 2 single value: beam charge in nC, slow drift
//                        plus noise, a little lower at each later toroid
//   BPM.1..bpms          type 2 pairs x, y (mm) and charge (nC)
//   ADC.1..adcs          type 3, two members of `samples` values: the pulse
//                        on a noisy baseline and a reference pickup, with
//                        statistics (mask 0xF: baseline, peak, peak time,
//                        integral); now and then member 0 is all zero
//   ADC.SUB:2            type 3, one member of 2 groups of 8 values
//   CAM.1..cameras       type 4 Gaussian beam spot, image_width x
//                        image_height; odd-numbered cameras are 8-bit, even
//                        ones 16-bit (12 significant bits, pixels stored
//                        big-endian) and run at half rate (every other event)
//   MAGNET.EQ            type 5, now and then not convertible
//   VAC.GAUGE            type 2 single value, missing from about a third of
//                        the events
// Every channel is now and then bad (non-zero header status).  Event IDs and
// macro-pulse numbers rise by one per event, with one gap of 2 to 5 IDs in
// the middle of the run.  Every event has a fast block (its time is the row
// time) and, with cameras, an image block.
#ifndef DAQ_TOOLS_SIMULATE_SIMULATOR_H_
#define DAQ_TOOLS_SIMULATE_SIMULATOR_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace daq::sim {

struct SimOptions {
  int generation = 2024;  // 2010 (32-bit IDs) or 2024 (64-bit IDs)
  uint64_t seed = 1;      // same seed, same recording text
  int events = 20;        // 0 .. kMaxEvents
  int toroids = 1;        // 0 .. kMaxChannels each
  int bpms = 1;
  int adcs = 1;
  int cameras = 2;
  int samples = 64;      // values per ADC member, 1 .. kMaxSamples
  int image_width = 64;  // pixels, 1 .. kMaxImageSide
  int image_height = 48;
  // The first event's ID; without it 1200000 (2010) or 5000000000 (2024).
  // A campaign of runs gives each its own, so that no ID repeats.
  std::optional<uint64_t> first_event;
};

inline constexpr int kMaxEvents = 1000000;
inline constexpr int kMaxChannels = 64;
inline constexpr int kMaxSamples = 65536;
inline constexpr int kMaxImageSide = 4096;

// Takes the recording text piece by piece.
using Sink = std::function<void(std::string_view)>;

// Writes the recording text (compact JSON and a line end) to `write` as the
// events are made, so that memory does not grow with their number;
// `progress` hears the count of events made.  Throws std::invalid_argument
// when an option lies outside its range (before anything is written).
void simulate_run(const SimOptions& options, const Sink& write,
                  const std::function<void(int)>& progress = {});

// The whole recording text at once.
std::string simulate_run(const SimOptions& options);

}  // namespace daq::sim

#endif  // DAQ_TOOLS_SIMULATE_SIMULATOR_H_
