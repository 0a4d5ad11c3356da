// check-formats: runs float bit patterns through the table file's number
// formatter and through snprintf, and reports every difference.
//
//   check-formats [--step N] [--threads N] [FORMAT...]
//
// FORMAT is one of "%.e" "%.2e" "%e" "%f" (default "%.e").  With --step N
// only every Nth bit pattern is checked (default 1: all 2^32 of them).
#include <atomic>
#include <cfenv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "number_format.h"

namespace {

struct Form {
  const char* format;
  void (*put)(std::string&, double);
};

const Form kForms[] = {{"%.e", daq::fmt::put_e0},
                       {"%.2e", daq::fmt::put_e2},
                       {"%e", daq::fmt::put_e},
                       {"%f", daq::fmt::put_f}};

constexpr uint64_t kBlocks = 4096;
constexpr uint64_t kBlockSize = (uint64_t{1} << 32) / kBlocks;

struct Shared {
  std::atomic<uint64_t> next_block{0};
  std::mutex lock;
  uint64_t blocks_done = 0;
  uint64_t mismatches = 0;
};

// Threads take blocks of bit patterns in a scattered order, so that an
// interrupted run has still seen every binade; progress goes to stderr.
void check_blocks(const Form& form, uint64_t step, Shared* shared) {
  std::fesetround(FE_TONEAREST);
  std::string got;
  char want[512];
  for (uint64_t k; (k = shared->next_block++) < kBlocks;) {
    uint64_t block = (k * 2654435761u) % kBlocks;
    uint64_t first = (block * kBlockSize + step - 1) / step * step;
    uint64_t mismatches = 0;
    for (uint64_t bits = first; bits < (block + 1) * kBlockSize; bits += step) {
      uint32_t b = static_cast<uint32_t>(bits);
      float v;
      std::memcpy(&v, &b, sizeof v);
      got.clear();
      form.put(got, v);
      int n = std::snprintf(want, sizeof want, form.format, static_cast<double>(v));
      if (got.size() == static_cast<size_t>(n) && std::memcmp(got.data(), want, n) == 0) continue;
      std::lock_guard<std::mutex> hold(shared->lock);
      if (shared->mismatches + ++mismatches <= 20) {
        std::printf("%s of 0x%08X: got \"%s\", printf \"%s\"\n", form.format, b, got.c_str(), want);
      }
    }
    std::lock_guard<std::mutex> hold(shared->lock);
    shared->mismatches += mismatches;
    if (++shared->blocks_done % 64 == 0) {
      std::fprintf(stderr, "%s: %llu/%llu blocks, %llu mismatches\n", form.format,
                   static_cast<unsigned long long>(shared->blocks_done),
                   static_cast<unsigned long long>(kBlocks),
                   static_cast<unsigned long long>(shared->mismatches));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t step = 1;
  unsigned threads = std::thread::hardware_concurrency();
  std::vector<const Form*> forms;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if ((arg == "--step" || arg == "--threads") && i + 1 < argc) {
      unsigned long n = std::strtoul(argv[++i], nullptr, 10);
      if (n == 0) {
        std::fprintf(stderr, "check-formats: %s needs a positive number\n", arg.c_str());
        return 2;
      }
      if (arg == "--step") {
        step = n;
      } else {
        threads = static_cast<unsigned>(n);
      }
      continue;
    }
    const Form* found = nullptr;
    for (const Form& f : kForms) {
      if (arg == f.format) found = &f;
    }
    if (found == nullptr) {
      std::fprintf(stderr,
                   "usage: check-formats [--step N] [--threads N] [%%.e|%%.2e|%%e|%%f]...\n");
      return 2;
    }
    forms.push_back(found);
  }
  if (forms.empty()) forms.push_back(&kForms[0]);
  if (threads == 0) threads = 1;

  uint64_t total_mismatches = 0;
  for (const Form* form : forms) {
    auto start = std::chrono::steady_clock::now();
    Shared shared;
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back(check_blocks, std::cref(*form), step, &shared);
    }
    for (auto& w : workers) w.join();
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    uint64_t checked = ((uint64_t{1} << 32) + step - 1) / step;
    std::printf("%-5s %llu bit patterns, %llu mismatches, %.1f s on %u threads\n", form->format,
                static_cast<unsigned long long>(checked),
                static_cast<unsigned long long>(shared.mismatches), seconds, threads);
    std::fflush(stdout);
    total_mismatches += shared.mismatches;
  }
  return total_mismatches == 0 ? 0 : 1;
}
