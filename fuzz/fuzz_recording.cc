// Arbitrary bytes as recording text into the reference host's parser: it
// accepts, or refuses with a one-line message; it never crashes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vexa_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string error;
  std::unique_ptr<vexa_run> run = vexa_parse_run(
      std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.run.json", &error);
  // A refusal always says why, on one line.
  if (run == nullptr && (error.empty() || error.find('\n') != std::string::npos)) std::abort();
  if (run != nullptr) {
    for (const vexa_run_channel_entry& c : run->channels) vexa_selector(c);
  }
  return 0;
}
