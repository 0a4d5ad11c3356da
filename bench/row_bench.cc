// Cost of writing spectrum rows through the per-event hook, side by side with
// the bare snprintf("%.e") of the same values: the ratio is what the row
// writer adds on top of number formatting.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "daq_user.h"
#include "number_format.h"
#include "vexa_run.h"

namespace {

constexpr int kValues = 4096;

std::string spectrum_run() {
  std::string values;
  for (int k = 0; k < kValues; ++k) values += (k ? "," : "") + std::to_string(k * 0.37 - 300);
  return R"({"generation": 2024, "channels": [{"name": "S"}], "events": [{"id": 1, "channels":
           {"S": {"type": 3, "members": [{"values": [)" +
         values + "]}]}}}]}";
}

void BM_SpectrumRow(benchmark::State& state) {
  std::string error;
  auto run = vexa_parse_run(spectrum_run(), "bench", &error);
  static char out[] = "/dev/null";
  static char word[] = "bench";
  static char dumpall[] = "-dumpall";
  char* argv[] = {word, dumpall, nullptr};
  file = out;
  vexa_daq_reader_2024 reader(run.get());
  vexa_user_init_2024(2, argv, &reader);
  vexa_daq_getdata data(run.get());
  data.position(0);
  for (auto _ : state) benchmark::DoNotOptimize(vexa_user_loop(&data));
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_SpectrumRow);

void BM_SnprintfValues(benchmark::State& state) {
  char text[32];
  for (auto _ : state) {
    for (int k = 0; k < kValues; ++k) {
      benchmark::DoNotOptimize(std::snprintf(text, sizeof text, "%.e", k * 0.37 - 300));
    }
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_SnprintfValues);

void BM_FormatValues(benchmark::State& state) {
  std::string row;
  for (auto _ : state) {
    row.clear();
    for (int k = 0; k < kValues; ++k) daq::fmt::put_e0(row, k * 0.37 - 300);
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
BENCHMARK(BM_FormatValues);

// Number formatting side by side with snprintf, on float readings as the
// channels deliver them.
std::vector<float> float_readings() {
  std::vector<float> values(kValues);
  for (int k = 0; k < kValues; ++k) values[k] = static_cast<float>(k * 0.37 - 300);
  return values;
}

template <typename Put>
void run_floats(benchmark::State& state, Put put) {
  std::vector<float> values = float_readings();
  std::string row;
  for (auto _ : state) {
    row.clear();
    for (float v : values) put(row, v);
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}

void snprintf_append(std::string& row, const char* format, double v) {
  char text[400];
  row.append(text, std::snprintf(text, sizeof text, format, v));
}

void BM_FloatE0_Snprintf(benchmark::State& s) {
  run_floats(s, [](std::string& r, float v) { snprintf_append(r, "%.e", v); });
}
void BM_FloatE0_Format(benchmark::State& s) { run_floats(s, daq::fmt::put_e0); }
void BM_FloatE0_List(benchmark::State& state) {
  std::vector<float> values = float_readings();
  std::string row;
  for (auto _ : state) {
    row.clear();
    daq::fmt::put_e0_list(row, values.data(), values.size(), ' ');
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * kValues);
}
void BM_FloatE2_Snprintf(benchmark::State& s) {
  run_floats(s, [](std::string& r, float v) { snprintf_append(r, "%.2e", v); });
}
void BM_FloatE2_Format(benchmark::State& s) { run_floats(s, daq::fmt::put_e2); }
void BM_FloatE_Snprintf(benchmark::State& s) {
  run_floats(s, [](std::string& r, float v) { snprintf_append(r, "%e", v); });
}
void BM_FloatE_Format(benchmark::State& s) { run_floats(s, daq::fmt::put_e); }
void BM_FloatF_Snprintf(benchmark::State& s) {
  run_floats(s, [](std::string& r, float v) { snprintf_append(r, "%f", v); });
}
void BM_FloatF_Format(benchmark::State& s) { run_floats(s, daq::fmt::put_f); }
BENCHMARK(BM_FloatE0_Snprintf);
BENCHMARK(BM_FloatE0_Format);
BENCHMARK(BM_FloatE0_List);
BENCHMARK(BM_FloatE2_Snprintf);
BENCHMARK(BM_FloatE2_Format);
BENCHMARK(BM_FloatE_Snprintf);
BENCHMARK(BM_FloatE_Format);
BENCHMARK(BM_FloatF_Snprintf);
BENCHMARK(BM_FloatF_Format);

// A 640x480 frame of 16-bit (range 0..arg) or 8-bit pixels, tab separated.
template <typename Pixel>
std::vector<Pixel> frame(int range) {
  std::vector<Pixel> pixels(640 * 480);
  uint32_t x = 12345;
  for (auto& p : pixels) p = static_cast<Pixel>((x = x * 1103515245 + 12345) >> 8) % range;
  return pixels;
}

template <typename Pixel>
void BM_Pixels_Snprintf(benchmark::State& state) {
  std::vector<Pixel> pixels = frame<Pixel>(static_cast<int>(state.range(0)));
  std::string row;
  char text[16];
  for (auto _ : state) {
    row.clear();
    for (Pixel p : pixels) row.append(text, std::snprintf(text, sizeof text, "%d\t", p));
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * pixels.size());
}

template <typename Pixel>
void BM_Pixels_Format(benchmark::State& state) {
  std::vector<Pixel> pixels = frame<Pixel>(static_cast<int>(state.range(0)));
  std::string row;
  for (auto _ : state) {
    row.clear();
    if constexpr (sizeof(Pixel) == 1) {
      daq::fmt::put_pixels_u8(row, pixels.data(), pixels.size(), '\t', true);
    } else {
      daq::fmt::put_pixels_u16(row, pixels.data(), pixels.size(), '\t', true);
    }
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * pixels.size());
}

BENCHMARK(BM_Pixels_Snprintf<unsigned char>)->Arg(256);
BENCHMARK(BM_Pixels_Format<unsigned char>)->Arg(256);
BENCHMARK(BM_Pixels_Snprintf<uint16_t>)->Arg(4096)->Arg(65536);
BENCHMARK(BM_Pixels_Format<uint16_t>)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
