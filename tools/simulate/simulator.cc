#include "simulator.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

namespace daq::sim {
namespace {

using json = nlohmann::ordered_json;

constexpr uint64_t kMicros = 1000000;
constexpr uint64_t kPulsePeriodUs = 100000;  // 10 Hz
constexpr double kPixelMm = 0.0125;          // camera scale, mm per pixel

// The std::mt19937_64 sequence, made 312 numbers at a time: the camera
// pixels draw hundreds of millions of them, and the engine's call per number
// was most of the simulator's time.
class Mt19937_64 {
 public:
  explicit Mt19937_64(uint64_t seed) {
    state_[0] = seed;
    for (int i = 1; i < kN; ++i) {
      state_[i] = 6364136223846793005ull * (state_[i - 1] ^ (state_[i - 1] >> 62)) +
                  static_cast<uint64_t>(i);
    }
  }

  uint64_t operator()() {
    if (next_ == kN) refill();
    return out_[next_++];
  }

 private:
  static constexpr int kN = 312, kM = 156;
  static constexpr uint64_t kUpper = 0xffffffff80000000ull, kLower = 0x7fffffffull;

  static uint64_t twist(uint64_t upper, uint64_t lower, uint64_t far) {
    uint64_t x = (upper & kUpper) | (lower & kLower);
    // A mask, not a branch: the low bit is a coin toss the CPU cannot predict.
    return far ^ (x >> 1) ^ ((0 - (x & 1)) & 0xb5026f5aa96619e9ull);
  }

  void refill() {
    for (int i = 0; i < kN - kM; ++i) state_[i] = twist(state_[i], state_[i + 1], state_[i + kM]);
    for (int i = kN - kM; i < kN - 1; ++i) {
      state_[i] = twist(state_[i], state_[i + 1], state_[i + kM - kN]);
    }
    state_[kN - 1] = twist(state_[kN - 1], state_[0], state_[kM - 1]);
    for (int i = 0; i < kN; ++i) {
      uint64_t y = state_[i];
      y ^= (y >> 29) & 0x5555555555555555ull;
      y ^= (y << 17) & 0x71d67fffeda60000ull;
      y ^= (y << 37) & 0xfff7eee000000000ull;
      y ^= y >> 43;
      out_[i] = y;
    }
    next_ = 0;
  }

  uint64_t state_[kN];
  uint64_t out_[kN];
  int next_ = kN;
};

// Random numbers whose sequence is fixed by the seed alone, on any standard
// library (the std:: distributions are not).
class Random {
 public:
  explicit Random(uint64_t seed) : engine_(seed) {}
  double uniform() { return static_cast<double>(engine_() >> 11) * 0x1.0p-53; }  // [0, 1)
  // Close to a standard normal: the sum of twelve uniforms, less six.
  double normal() {
    double sum = 0;
    for (int k = 0; k < 12; ++k) sum += uniform();
    return sum - 6;
  }
  bool chance(double p) { return uniform() < p; }
  int below(int n) { return static_cast<int>(uniform() * n); }

 private:
  Mt19937_64 engine_;
};

// v with at most `places` decimals, so the text stays short.
double decimals(double v, int places) {
  static constexpr double kScale[] = {1, 10, 100, 1000, 10000, 100000};
  return std::round(v * kScale[places]) / kScale[places];
}

// std::lround (halves away from zero) without the library call, for the
// values of a pixel: truncation and the exact remainder decide.
long round_half_away(double v) {
  long t = static_cast<long>(v);
  double rest = v - static_cast<double>(t);
  if (rest >= 0.5) ++t;
  if (rest <= -0.5) --t;
  return t;
}

int clamp_count(double v, int max) {
  return static_cast<int>(std::clamp(round_half_away(v), 0L, static_cast<long>(max)));
}

void check_range(const char* name, int64_t value, int64_t lo, int64_t hi) {
  if (value < lo || value > hi) {
    throw std::invalid_argument(std::string(name) + " must be from " + std::to_string(lo) + " to " +
                                std::to_string(hi) + ", not " + std::to_string(value));
  }
}

void check_options(const SimOptions& o) {
  if (o.generation != 2010 && o.generation != 2024) {
    throw std::invalid_argument("generation must be 2010 or 2024, not " +
                                std::to_string(o.generation));
  }
  check_range("events", o.events, 0, kMaxEvents);
  check_range("toroids", o.toroids, 0, kMaxChannels);
  check_range("bpms", o.bpms, 0, kMaxChannels);
  check_range("adcs", o.adcs, 0, kMaxChannels);
  check_range("cameras", o.cameras, 0, kMaxChannels);
  check_range("samples", o.samples, 1, kMaxSamples);
  check_range("image_width", o.image_width, 1, kMaxImageSide);
  check_range("image_height", o.image_height, 1, kMaxImageSide);
  if (o.first_event) {
    // The last ID, past the run's one gap of at most 5, must fit the
    // generation's IDs (32 bits in 2010).
    const uint64_t most = o.generation == 2010 ? UINT32_MAX : UINT64_MAX;
    const uint64_t span = static_cast<uint64_t>(o.events) + 5;
    if (*o.first_event > most - span) {
      throw std::invalid_argument("the first event ID must be from 0 to " +
                                  std::to_string(most - span) + " for " + std::to_string(o.events) +
                                  " events of generation " + std::to_string(o.generation) +
                                  ", not " + std::to_string(*o.first_event));
    }
  }
}

std::string numbered(const char* stem, int k) {
  return stem + std::string(".") + std::to_string(k);
}

bool is_16bit_camera(int c) { return c % 2 == 1; }  // c counts from 0

// The machine's state from pulse to pulse, and the run being written.
class Machine {
 public:
  explicit Machine(const SimOptions& o) : o_(o), random_(o.seed), frames_(o.cameras, 0) {}

  // The document in pieces as they are made: its head, one event at a
  // time, its tail.  Together they are the compact dump of the whole.
  void run(const Sink& write, const std::function<void(int)>& progress) {
    json doc;
    doc["generation"] = o_.generation;
    doc["channels"] = channel_list();
    doc["descriptions"] = descriptions();
    doc["empty_events"] = 0;
    doc["events"] = json::array();
    std::string text = doc.dump();
    text.resize(text.size() - 2);  // "]}": the events go before them
    write(text);
    const int gap_at = o_.events / 2;
    const int gap = 2 + random_.below(4);
    for (int k = 0; k < o_.events; ++k) {
      images_.clear();
      std::string e = event(k, static_cast<uint64_t>(k) + (k >= gap_at && k > 0 ? gap : 0)).dump();
      text = k == 0 ? "" : ",";
      // Every other string of the document is a name of ours: "data":""
      // stands only where an image's pixels go, in the order they were made.
      static constexpr std::string_view kEmptyData = "\"data\":\"\"";
      size_t from = 0;
      for (const std::string& hex : images_) {
        size_t at = e.find(kEmptyData, from) + kEmptyData.size() - 1;
        text.append(e, from, at - from);
        text += hex;
        from = at;
      }
      text.append(e, from, std::string::npos);
      write(text);
      if (progress) progress(k + 1);
    }
    write("]}\n");
  }

 private:
  struct Pulse {
    uint64_t id;       // event ID
    uint64_t mpulse;   // macro-pulse number (fits signed 32-bit for 2010)
    uint64_t time_us;  // event time
    bool beam;         // false in pedestal events
    double charge;     // nC at the first toroid
    double x, y;       // beam position, mm
  };

  bool old_format() const { return o_.generation == 2010; }

  json channel_list() const {
    json list = json::array();
    auto add = [&](const std::string& name, int sub = -1) {
      list.push_back({{"name", name}, {"sub", sub}});
    };
    add("TIMING.MARK");
    for (int k = 1; k <= o_.toroids; ++k) add(numbered("TOROID", k));
    for (int k = 1; k <= o_.bpms; ++k) add(numbered("BPM", k));
    for (int k = 1; k <= o_.adcs; ++k) add(numbered("ADC", k));
    add("ADC.SUB", 2);
    for (int k = 1; k <= o_.cameras; ++k) add(numbered("CAM", k));
    add("MAGNET.EQ");
    add("VAC.GAUGE");
    return list;
  }

  json descriptions() const {
    json list = json::array();
    list.push_back({{"daq_name", "TIMING.MARK"}, {"unit", "none"}, {"source", "timing"}});
    for (int k = 1; k <= o_.toroids; ++k) {
      list.push_back({{"daq_name", numbered("TOROID", k)},
                      {"unit", "nC"},
                      {"location", numbered("LINAC", k)},
                      {"calib", decimals(1.0 + 0.01 * k, 2)}});
    }
    for (int k = 1; k <= o_.bpms; ++k) {
      list.push_back({{"daq_name", numbered("BPM", k)},
                      {"unit", "mm"},
                      {"location", numbered("LINAC", k)},
                      {"gain", 1.5}});
    }
    for (int k = 1; k <= o_.adcs; ++k) {
      list.push_back(
          {{"daq_name", numbered("ADC", k)}, {"unit", "counts"}, {"bits", 12}, {"sample_ns", 2}});
    }
    list.push_back({{"daq_name", "ADC.SUB"}, {"unit", "kV"}, {"groups", 2}, {"subchannels", 4}});
    for (int c = 0; c < o_.cameras; ++c) {
      list.push_back({{"daq_name", numbered("CAM", c + 1)},
                      {"unit", "counts"},
                      {"bpp", is_16bit_camera(c) ? 2 : 1},
                      {"width", o_.image_width},
                      {"height", o_.image_height},
                      {"scale_mm", kPixelMm}});
    }
    list.push_back({{"daq_name", "MAGNET.EQ"}, {"format", "EqData"}, {"location", "ARC"}});
    list.push_back({{"daq_name", "VAC.GAUGE"}, {"unit", "nPa"}, {"location", "DUMP"}});
    return list;
  }

  json mpulse_value(uint64_t mpulse) const {
    if (old_format()) return static_cast<int32_t>(mpulse);
    return mpulse;
  }

  // A server block stamped `delay_us` after the event.
  json block(const Pulse& p, uint64_t delay_us) const {
    uint64_t t = p.time_us + delay_us;
    return {{"sec", t / kMicros},
            {"usec", t % kMicros},
            {"mpulse", mpulse_value(p.mpulse)},
            {"status", 0}};
  }

  // A channel of `type`, now and then flagged bad by its sub-header.
  json channel(int type, const Pulse& p, uint64_t delay_us) {
    json c = {{"type", type}, {"block", block(p, delay_us)}};
    if (random_.chance(0.02)) {
      static constexpr int kErrors[] = {0x1, 0x4, 0x10, 0x8000};
      c["header"] = {{"status", kErrors[random_.below(4)]}};
    }
    return c;
  }

  void advance_beam(Pulse& p) {
    // Mean-reverting walks: the drift of a machine kept in tune.
    charge_ += 0.05 * (1.0 - charge_) + 0.004 * random_.normal();
    x_ += -0.05 * x_ + 0.01 * random_.normal();
    y_ += -0.05 * y_ + 0.01 * random_.normal();
    p.charge = p.beam ? charge_ : 0;
    p.x = x_ + 0.03 * random_.normal();
    p.y = y_ + 0.02 * random_.normal();
  }

  json event(int index, uint64_t offset) {
    const uint64_t id_base = o_.first_event.value_or(old_format() ? 1200000 : 5000000000ull);
    const uint64_t mpulse_base = old_format() ? 7340000 : 9000000000ull;
    const uint64_t start_us = (old_format() ? 1268654400ull : 1733632724ull) * kMicros;
    Pulse p{};
    p.id = id_base + offset;
    p.mpulse = mpulse_base + offset;
    p.time_us = start_us + offset * kPulsePeriodUs + static_cast<uint64_t>(random_.below(20));
    p.beam = offset % 10 != 9;
    advance_beam(p);

    json e = {{"id", p.id},
              {"type", p.beam ? 1 : 3},
              {"sec", p.time_us / kMicros},
              {"usec", p.time_us % kMicros},
              {"status", 0}};
    if (o_.cameras > 0) e["image_block"] = block(p, 40);
    e["fast_block"] = block(p, 2);

    json chans = json::object();
    chans["TIMING.MARK"] = channel(1, p, 1);
    for (int k = 1; k <= o_.toroids; ++k) {
      json c = channel(2, p, 3);
      double reading = p.charge * (1.0 - 0.01 * (k - 1)) + 0.003 * random_.normal();
      c["single"] = decimals(reading, 4);
      chans[numbered("TOROID", k)] = std::move(c);
    }
    for (int k = 1; k <= o_.bpms; ++k) {
      json c = channel(2, p, 4);
      double q = p.charge + 0.005 * random_.normal();
      c["pairs"] = json::array({json::array({"x", decimals(p.x * (1 + 0.2 * k), 3)}),
                                json::array({"y", decimals(p.y * (1 - 0.1 * k), 3)}),
                                json::array({"charge", decimals(q, 3)})});
      chans[numbered("BPM", k)] = std::move(c);
    }
    for (int k = 1; k <= o_.adcs; ++k) chans[numbered("ADC", k)] = adc(p);
    chans["ADC.SUB:2"] = kicker(p);
    for (int c = 0; c < o_.cameras; ++c) {
      if (is_16bit_camera(c) && index % 2 != 0) continue;  // half-rate camera
      chans[numbered("CAM", c + 1)] = camera(p, c);
    }
    json eq = channel(5, p, 6);
    eq["convertible"] = !random_.chance(0.1);
    chans["MAGNET.EQ"] = std::move(eq);
    if (!random_.chance(1.0 / 3)) {  // the gauge misses readouts
      json c = channel(2, p, 7);
      gauge_ += 0.02 * (3.2 - gauge_) + 0.01 * random_.normal();
      c["single"] = decimals(gauge_, 3);
      chans["VAC.GAUGE"] = std::move(c);
    }
    e["channels"] = std::move(chans);
    return e;
  }

  // One ADC trace: baseline noise around 200 counts and a pulse of rise
  // time `tau`; values clipped to the 12-bit range.
  std::vector<int> trace(double at, double tau, double amplitude) {
    std::vector<int> v(o_.samples);
    for (int i = 0; i < o_.samples; ++i) {
      double t = (i - at) / tau;
      double pulse = t > 0 ? amplitude * t * std::exp(1 - t) : 0;
      v[i] = clamp_count(200 + pulse + 1.5 * random_.normal(), 4095);
    }
    return v;
  }

  // Statistics of a trace: baseline, peak, peak time (ns), integral.
  static json trace_stat(const std::vector<int>& v, double inc) {
    size_t head = std::max<size_t>(1, v.size() / 8);
    double baseline = 0;
    for (size_t i = 0; i < head; ++i) baseline += v[i];
    baseline /= static_cast<double>(head);
    size_t peak = std::max_element(v.begin(), v.end()) - v.begin();
    double integral = 0;
    for (int s : v) integral += (s - baseline) * inc;
    return {{"mask", 15},
            {"val",
             {{"0", decimals(baseline, 2)},
              {"1", v[peak]},
              {"2", decimals(static_cast<double>(peak) * inc, 1)},
              {"3", decimals(integral, 1)}}}};
  }

  json adc(const Pulse& p) {
    constexpr double kInc = 2.0;  // ns per sample
    const double n = o_.samples;
    const double tau = std::max(1.0, n / 16);
    json c = channel(3, p, 2);
    json members = json::array();
    std::vector<int> signal = trace(n / 4 + 0.3 * random_.normal(), tau, 1800 * p.charge);
    if (random_.chance(0.05)) {  // digitizer missed its trigger
      std::fill(signal.begin(), signal.end(), 0);
      members.push_back({{"start", 0}, {"inc", kInc}, {"values", signal}});
    } else {
      members.push_back(
          {{"start", 0}, {"inc", kInc}, {"values", signal}, {"stat", trace_stat(signal, kInc)}});
    }
    std::vector<int> reference = trace(n * 0.6, tau, p.beam ? 900 : 0);
    members.push_back({{"start", 0},
                       {"inc", kInc},
                       {"values", reference},
                       {"stat", trace_stat(reference, kInc)}});
    c["members"] = std::move(members);
    return c;
  }

  // Two kicker pulses, 8 readings each, in one member of two groups.
  json kicker(const Pulse& p) {
    static constexpr double kShape[] = {0.1, 0.6, 0.95, 1, 1, 0.97, 0.6, 0.1};
    json c = channel(3, p, 5);
    json values = json::array();
    for (int g = 0; g < 2; ++g) {
      double volts = 4.8 + 0.2 * g;
      for (double s : kShape) values.push_back(decimals(volts * s + 0.01 * random_.normal(), 3));
    }
    c["members"] = json::array({{{"start", 0},
                                 {"inc", 1},
                                 {"ndata", 8},
                                 {"groups", 2},
                                 {"group_inc", 100},
                                 {"values", std::move(values)}}});
    return c;
  }

  // A Gaussian beam spot on background noise; 16-bit pixels are stored
  // big-endian, as the camera server sends them.
  json camera(const Pulse& p, int c) {
    static constexpr char kHex[] = "0123456789abcdef";
    const bool wide = is_16bit_camera(c);
    const int w = o_.image_width, h = o_.image_height;
    const int max = wide ? 4095 : 255;
    const double background = wide ? 100 : 6, noise = wide ? 8 : 2;
    const double peak = (wide ? 3000 : 180) * p.charge;
    const double cx = w / 2.0 + p.x / kPixelMm / 8, cy = h / 2.0 + p.y / kPixelMm / 8;
    const double sx = std::max(0.5, w / 10.0 * (1 + 0.05 * random_.normal()));
    const double sy = std::max(0.5, h / 10.0 * (1 + 0.05 * random_.normal()));
    std::vector<double> gx(w), gy(h);
    for (int i = 0; i < w; ++i) gx[i] = std::exp(-0.5 * (i - cx) * (i - cx) / (sx * sx));
    for (int j = 0; j < h; ++j) gy[j] = std::exp(-0.5 * (j - cy) * (j - cy) / (sy * sy));

    const int digits = wide ? 4 : 2;
    std::string hex(static_cast<size_t>(w) * h * digits, '0');
    char* out = hex.data();
    for (int j = 0; j < h; ++j) {
      for (int i = 0; i < w; ++i) {
        int v = clamp_count(background + peak * gx[i] * gy[j] + noise * random_.normal(), max);
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
          *out++ = kHex[(v >> shift) & 0xf];
      }
    }
    const int bpp = wide ? 2 : 1;
    const int length = w * h * bpp;
    json head = {w,
                 h,
                 w,
                 h,
                 0,
                 0,
                 bpp,
                 wide ? 12 : 8,
                 1,
                 1,
                 bpp,
                 bpp,
                 ++frames_[c],
                 static_cast<uint32_t>(p.id),
                 kPixelMm,
                 kPixelMm,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0,
                 length};
    // The pixels skip the serializer, which looks at every character: they
    // are spliced into the event's text in place of the empty "data".
    images_.push_back(std::move(hex));
    json ch = channel(4, p, 40 + c);
    ch["image"] = {{"nframe", 1}, {"compr", 0}, {"bpp", bpp},    {"nx", w},
                   {"ny", h},     {"data", ""}, {"len", length}, {"frame_head", std::move(head)}};
    return ch;
  }

  const SimOptions& o_;
  Random random_;
  std::vector<uint32_t> frames_;     // frame counter of each camera
  std::vector<std::string> images_;  // pixel text of the event's images, in order
  double charge_ = 1.0;
  double x_ = 0, y_ = 0;
  double gauge_ = 3.2;
};

}  // namespace

void simulate_run(const SimOptions& options, const Sink& write,
                  const std::function<void(int)>& progress) {
  check_options(options);
  Machine(options).run(write, progress);
}

std::string simulate_run(const SimOptions& options) {
  std::string text;
  simulate_run(options, [&](std::string_view piece) { text += piece; });
  return text;
}

}  // namespace daq::sim
