// Arbitrary bytes as recording text into the reference host's parser: it
// accepts, or refuses with a one-line message; it never crashes.  Text it
// accepts streamed is accepted decoded too, and every event of it decodes
// again when walked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vexa_daq_data.h"
#include "vexa_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  std::unique_ptr<vexa_run> run = vexa_parse_run(text, "fuzz.run.json", &error);
  // A refusal always says why, on one line.
  if (run == nullptr && (error.empty() || error.find('\n') != std::string::npos)) std::abort();
  if (run != nullptr) {
    for (const vexa_run_channel_entry& c : run->channels) vexa_selector(c);
  }
  std::string stream_error;
  std::unique_ptr<vexa_run> streamed = vexa_open_run_text(text, "fuzz.run.json", &stream_error);
  // Both ways judge the text alike, in the same words.
  if ((streamed == nullptr) != (run == nullptr) || stream_error != error) std::abort();
  if (streamed != nullptr) {
    if (streamed->event_count() != run->events.size()) std::abort();
    vexa_daq_getdata walk(streamed.get());
    for (size_t k = 0; k < streamed->event_count(); ++k) {
      if (!walk.position(k)) std::abort();
      for (const auto& [selector, channel] : run->events[k].channels) {
        if (walk.SetProp(selector.c_str()) != channel.type) std::abort();
        if (channel.image && walk.GetImage() == nullptr) std::abort();
      }
    }
  }
  return 0;
}
