// Cost of writing spectrum rows through the per-event hook, side by side with
// the bare snprintf("%.e") of the same values: the ratio is what the row
// writer adds on top of number formatting.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

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

}  // namespace

BENCHMARK_MAIN();
