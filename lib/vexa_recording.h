// A recording file held in memory: checked whole when it is loaded, its
// events decoded one at a time when a walk reaches them.
#ifndef VEXA_RECORDING_H_
#define VEXA_RECORDING_H_

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vexa_run_data.h"
#include "vexa_text.h"

class vexa_recording {
 public:
  // Checks `text` completely: channels, descriptions and counts go to *run,
  // and with `keep_events` every event, decoded with its image bytes.  Null
  // (with *error: source, place, reason) when the text is refused.
  static std::shared_ptr<vexa_recording> load(vexa_text text, const std::string& source,
                                              bool keep_events, const vexa_load_progress& progress,
                                              vexa_run* run, std::string* error);

  size_t event_count() const { return events_.size(); }

  // Decodes event `index` into *event with `parser`, whose buffers its image
  // texts then point into.  False (with *error) when it cannot.
  bool decode(size_t index, simdjson::dom::parser& parser, vexa_run_event* event,
              std::string* error) const;

 private:
  // Where a value lies in the text.
  struct Span {
    uint64_t offset = 0;
    uint64_t size = 0;
  };

  vexa_recording(vexa_text text, std::string source)
      : text_(std::move(text)), source_(std::move(source)) {}

  vexa_text text_;
  std::string source_;
  int generation_ = 2024;
  std::vector<Span> events_;
};

#endif  // VEXA_RECORDING_H_
