#include "workloads.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "simulate/simulator.h"

namespace daq::bench {

namespace {

// Distinct events a run holds at most; rows beyond reuse them in turn.
constexpr int64_t kDistinctEvents = 8;
constexpr uint32_t kRunStart = 1700000000;  // seconds of the first event

// Fixed-seed numbers, the same on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t next() {  // splitmix64
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double noise() { return uniform() + uniform() + uniform() - 1.5; }          // about normal

 private:
  uint64_t state_;
};

std::string numbered(const char* stem, int k, int width) {
  std::string digits = std::to_string(k);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, width - digits.size(), '0');
  return std::string(stem) + "." + digits;
}

Workload new_workload(const char* id, const char* title, int64_t rows) {
  Workload w;
  w.id = id;
  w.title = title;
  w.rows = rows;
  w.run = std::make_unique<vexa_run>();
  w.run->generation = 2024;
  w.run->reported_events = rows;
  return w;
}

void add_channel(vexa_run& run, const std::string& name) {
  run.channels.push_back({.name = name, .sub = -1});
}

// Event `slot` of a run: 10 Hz, with ID and macro-pulse number rising by one.
vexa_run_event new_event(int64_t slot) {
  vexa_run_event ev;
  ev.id = 100000 + static_cast<uint64_t>(slot);
  ev.type = 1;
  ev.sec = kRunStart + static_cast<uint32_t>(slot / 10);
  ev.usec = static_cast<uint32_t>(slot % 10) * 100000;
  return ev;
}

vexa_run_block block_of(const vexa_run_event& ev) {
  vexa_run_block b;
  b.sec = ev.sec;
  b.usec = ev.usec;
  b.mpulse64 = ev.id;
  b.mpulse = static_cast<int32_t>(ev.id);
  b.nchan = 1;
  return b;
}

vexa_run_channel& put_channel(vexa_run_event& ev, const std::string& name, int type) {
  vexa_run_channel& ch = ev.channels[name];
  ch.type = type;
  ch.block = block_of(ev);
  return ch;
}

int64_t distinct_events(int64_t rows) { return std::clamp<int64_t>(rows, 1, kDistinctEvents); }

// A beam spot on a noisy background, 12 significant bits, each pixel stored
// big-endian as the camera delivers it.
vexa_run_image camera_image(Random& random, int width, int height) {
  vexa_run_image im;
  im.nframe = 1;
  im.bpp = 2;
  im.nx = width;
  im.ny = height;
  im.len = im.size = width * height * 2;
  double cx = width * (0.4 + 0.2 * random.uniform());
  double cy = height * (0.4 + 0.2 * random.uniform());
  double sx = width * 0.08, sy = height * 0.06;
  std::vector<double> gx(width), gy(height);
  for (int x = 0; x < width; ++x) gx[x] = std::exp(-0.5 * std::pow((x - cx) / sx, 2));
  for (int y = 0; y < height; ++y) gy[y] = std::exp(-0.5 * std::pow((y - cy) / sy, 2));
  im.data.resize(im.len);
  unsigned char* p = im.data.data();
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      // Background of about 100 counts with +-20 of noise, peak near 3100.
      uint64_t bits = random.next();
      double v = 100 + 3000 * gx[x] * gy[y] + static_cast<double>(bits & 0x3F) * 0.625 - 20;
      auto pixel = static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 4095L));
      *p++ = static_cast<unsigned char>(pixel >> 8);
      *p++ = static_cast<unsigned char>(pixel & 0xFF);
    }
  }
  im.frame_head.width = width;
  im.frame_head.height = height;
  im.frame_head.aoi_width = width;
  im.frame_head.aoi_height = height;
  im.frame_head.bpp = 2;
  im.frame_head.ebitpp = 12;
  im.frame_head.length = im.len;
  return im;
}

// Member 0: a detector pulse on a noisy baseline; member 1: the reference
// pickup, a damped oscillation.  Statistics: baseline, peak, peak time and
// integral.
vexa_run_member adc_member(Random& random, int member, int values) {
  vexa_run_member m;
  m.start = 0;
  m.inc = 1e-9f;
  m.ndata = values;
  m.groups = 1;
  m.values.resize(values);
  double at = values * (0.25 + 0.1 * random.uniform());
  double height = 0.5 + random.uniform();
  double peak = 0, peak_at = 0, sum = 0;
  for (int k = 0; k < values; ++k) {
    double t = k - at;
    double v = member == 0
                   ? 0.002 * random.noise() + (t > 0 ? height * std::exp(-t / 90) : 0)
                   : 0.8 * std::sin(k * 0.05) * std::exp(-k / 1500.0) + 0.001 * random.noise();
    m.values[k] = static_cast<float>(v);
    sum += v;
    if (v > peak) peak = v, peak_at = k;
  }
  m.has_stat = true;
  m.stat.mask = 0xF;
  m.stat.val[0] = static_cast<float>(0.002 * random.noise());
  m.stat.val[1] = static_cast<float>(peak);
  m.stat.val[2] = static_cast<float>(peak_at * 1e-9);
  m.stat.val[3] = static_cast<float>(sum * 1e-9);
  return m;
}

}  // namespace

Workload camera_workload(int64_t rows) {
  constexpr int kWidth = 1280, kHeight = 1024, kCameras = 2;
  Workload w = new_workload("W1", "camera", rows);
  for (int c = 1; c <= kCameras; ++c) add_channel(*w.run, numbered("CAM", c, 1));
  Random random(1);
  for (int64_t slot = 0; slot < distinct_events(rows); ++slot) {
    vexa_run_event ev = new_event(slot);
    ev.image_block = block_of(ev);
    for (int c = 1; c <= kCameras; ++c) {
      put_channel(ev, numbered("CAM", c, 1), 4).image = camera_image(random, kWidth, kHeight);
    }
    w.run->events.push_back(std::move(ev));
  }
  return w;
}

Workload spectra_workload(int64_t rows) {
  constexpr int kChannels = 50, kMembers = 2, kValues = 2000;
  Workload w = new_workload("W2", "spectra", rows);
  w.words = {"-dumpall"};
  for (int c = 1; c <= kChannels; ++c) add_channel(*w.run, numbered("ADC", c, 2));
  Random random(2);
  for (int64_t slot = 0; slot < distinct_events(rows); ++slot) {
    vexa_run_event ev = new_event(slot);
    for (int c = 1; c <= kChannels; ++c) {
      vexa_run_channel& ch = put_channel(ev, numbered("ADC", c, 2), 3);
      for (int m = 0; m < kMembers; ++m) ch.members.push_back(adc_member(random, m, kValues));
    }
    w.run->events.push_back(std::move(ev));
  }
  return w;
}

Workload scalars_workload(int64_t rows) {
  constexpr int kSingles = 2000, kLists = 200;
  static const char* const kNames[] = {"x",       "y",       "charge", "sigma_x",
                                       "sigma_y", "current", "phase",  "energy"};
  Workload w = new_workload("W3", "scalars", rows);
  for (int c = 1; c <= kSingles; ++c) add_channel(*w.run, numbered("VAL", c, 4));
  for (int c = 1; c <= kLists; ++c) add_channel(*w.run, numbered("NV", c, 3));
  Random random(3);
  for (int64_t slot = 0; slot < distinct_events(rows); ++slot) {
    vexa_run_event ev = new_event(slot);
    for (int c = 1; c <= kSingles; ++c) {
      // Readings from 0.1 to 1000 (magnets, vacuum, temperatures, ...).
      double scale = std::pow(10.0, c % 5 - 1);
      put_channel(ev, numbered("VAL", c, 4), 2).single =
          static_cast<float>(scale * (1 + 0.01 * random.noise()));
    }
    for (int c = 1; c <= kLists; ++c) {
      vexa_run_channel& ch = put_channel(ev, numbered("NV", c, 3), 2);
      for (const char* name : kNames) {
        double scale = std::pow(10.0, static_cast<int>(random.uniform() * 6) - 3);
        ch.pairs.emplace_back(name, static_cast<float>(scale * random.noise()));
      }
    }
    w.run->events.push_back(std::move(ev));
  }
  return w;
}

Workload mixed_workload(int64_t rows) {
  Workload w = new_workload("W4", "mixed", rows);
  sim::SimOptions options;
  options.events = static_cast<int>(std::min<int64_t>(rows, sim::kMaxEvents));
  std::string error;
  w.run = vexa_parse_run(sim::simulate_run(options), "daq-simulate", &error);
  if (w.run == nullptr) throw std::runtime_error("simulated run refused: " + error);
  w.rows = static_cast<int64_t>(w.run->events.size());
  return w;
}

}  // namespace daq::bench
