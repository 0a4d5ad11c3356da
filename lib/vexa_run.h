// Loading runs from recordings, and walking their events: what the readers
// and the data-access object use. The run's data itself is vexa_run_data.h.
#ifndef VEXA_RUN_H_
#define VEXA_RUN_H_

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vexa_run_data.h"

// Walks the events of a run.  A streamed event is decoded into the cursor
// and stays valid until the next call.
class VEXA_HOST_API vexa_run_cursor {
 public:
  explicit vexa_run_cursor(const vexa_run* run);
  vexa_run_cursor(const vexa_run_cursor&) = delete;
  vexa_run_cursor& operator=(const vexa_run_cursor&) = delete;
  ~vexa_run_cursor();

  // Event `index`; null past the end, or when a streamed event cannot be
  // decoded (then error() says why).
  const vexa_run_event* at(size_t index);
  const std::string& error() const;
  // The channel of the event at() gave last, by selector; null when the
  // event does not hold it. A reader asks for the channels in the same order
  // at every event: the cursor keeps one index of selectors for the run and
  // tries the one after the last asked for first, so that a run of
  // thousands of channels hashes no selector for a look-up.
  const vexa_run_channel* find(std::string_view selector);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Selector of a channel entry: its name, or "name:sub" with a sub-channel.
VEXA_HOST_API std::string vexa_selector(const vexa_run_channel_entry& entry);

// Builds a run from recording text.  On refusal returns null and sets *error
// to one line: the source name, the place and the reason.
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_parse_run(std::string_view text,
                                                       const std::string& source,
                                                       std::string* error);

// Reads and parses a recording file.
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_load_run(const std::string& path, std::string* error);

// Reads a recording for a walk: the whole text is checked as by
// vexa_load_run, but only its bytes stay in memory and each event is decoded
// when the walk reaches it.
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_open_run(const std::string& path, std::string* error,
                                                      const vexa_load_progress& progress = {});
// The same for recording text already in memory (the text is copied).
VEXA_HOST_API std::unique_ptr<vexa_run> vexa_open_run_text(std::string_view text,
                                                           const std::string& source,
                                                           std::string* error);

// Appends the events of a further recording of the same generation; the
// event counts add up.  False (with *error) on a generation mismatch, or
// when a streamed run would be followed by decoded events.
VEXA_HOST_API bool vexa_append_run(vexa_run& run, vexa_run&& more, const std::string& source,
                                   std::string* error);

// Narrows the channel list to the given selectors, in their order.  False
// (with *error) when a selector names no recorded channel.
VEXA_HOST_API bool vexa_select_channels(vexa_run& run, const std::vector<std::string>& selectors,
                                        std::string* error);

#endif  // VEXA_RUN_H_
